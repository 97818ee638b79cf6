#include "ConnectAnimation.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "resource.h"

CConnectAnimation::CConnectAnimation(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
    m_timer.setInterval(kFrameMs);
    connect(&m_timer, &QTimer::timeout, this, &CConnectAnimation::Next);
}

bool CConnectAnimation::Open(int resourceId) {
    m_open = resourceId == IDR_CONNECT_ANIMATION;
    m_frame = 0;
    update();
    return m_open;
}

bool CConnectAnimation::Play(int from, int to, int repeat) {
    if (!m_open) {
        return false;
    }
    m_from = qBound(0, from, kFrameCount - 1);
    m_to = to < 0 ? kFrameCount - 1 : qBound(m_from, to, kFrameCount - 1);
    m_repeat = repeat;
    m_frame = m_from;
    m_timer.start();
    update();
    return true;
}

void CConnectAnimation::Stop() {
    m_timer.stop();
}

void CConnectAnimation::Close() {
    m_timer.stop();
    m_open = false;
    update();
}

void CConnectAnimation::Next() {
    if (m_frame < m_to) {
        ++m_frame;
    } else if (m_repeat < 0 || --m_repeat > 0) {
        m_frame = m_from;
    } else {
        m_timer.stop();
    }
    update();
}

QImage CConnectAnimation::Frame(int frame) const {
    QImage image(size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    PaintFrame(painter, frame);
    return image;
}

void CConnectAnimation::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_open) {
        PaintFrame(painter, m_frame);
    }
}

void CConnectAnimation::PaintFrame(QPainter& p, int frame) const {
    p.setRenderHint(QPainter::Antialiasing);
    const QColor blueDark(0x1F, 0x4F, 0xB0), blue(0x3B, 0x7D, 0xE0);
    const QColor orange(0xF5, 0xA6, 0x23), green(0x3C, 0xC0, 0x6A), grey(0xA8, 0xB0, 0xBC);
    const int h = height();

    // the PC: a monitor on a stand, its screen showing a download arrow
    const QRectF monitor(4, h / 2.0 - 20, 40, 30);
    p.setPen(QPen(blueDark, 1.5));
    QLinearGradient frameFill(monitor.topLeft(), monitor.bottomLeft());
    frameFill.setColorAt(0, blue);
    frameFill.setColorAt(1, blueDark);
    p.setBrush(frameFill);
    p.drawRoundedRect(monitor, 4, 4);
    const QRectF screen = monitor.adjusted(4, 4, -4, -6);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xEA, 0xF2, 0xFF));
    p.drawRect(screen);
    p.setBrush(orange);
    const QPointF c = screen.center();
    QPainterPath arrow;
    arrow.moveTo(c.x() - 2.5, c.y() - 7);
    arrow.lineTo(c.x() + 2.5, c.y() - 7);
    arrow.lineTo(c.x() + 2.5, c.y() - 1);
    arrow.lineTo(c.x() + 6, c.y() - 1);
    arrow.lineTo(c.x(), c.y() + 6);
    arrow.lineTo(c.x() - 6, c.y() - 1);
    arrow.lineTo(c.x() - 2.5, c.y() - 1);
    arrow.closeSubpath();
    p.drawPath(arrow);
    p.setBrush(blueDark);
    p.drawRect(QRectF(monitor.center().x() - 4, monitor.bottom(), 8, 5));
    p.drawRoundedRect(QRectF(monitor.center().x() - 12, monitor.bottom() + 5, 24, 4), 2, 2);

    // the handset: a rounded body with a screen and a power light
    const QRectF body(width() - 32, 4, 26, h - 8);
    QLinearGradient bodyFill(body.topLeft(), body.topRight());
    bodyFill.setColorAt(0, blue);
    bodyFill.setColorAt(1, blueDark);
    p.setPen(QPen(blueDark, 1.5));
    p.setBrush(bodyFill);
    p.drawRoundedRect(body, 6, 6);
    const bool lit = (frame / 4) % 2 == 0;
    p.setPen(Qt::NoPen);
    p.setBrush(lit ? QColor(0xFF, 0xF6, 0xD8) : QColor(0x2A, 0x3A, 0x5A));
    p.drawRoundedRect(QRectF(body.left() + 4, body.top() + 6, body.width() - 8, body.height() * 0.42), 2, 2);
    p.setBrush(lit ? green : grey);
    p.drawEllipse(QPointF(body.center().x(), body.bottom() - 8), 3.2, 3.2);

    // the cable and the pulses running from the PC to the handset
    const double y = h / 2.0 + 2;
    const double x0 = monitor.right() + 2, x1 = body.left() - 2;
    p.setPen(QPen(grey, 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(x0, y), QPointF(x1, y));
    p.setPen(Qt::NoPen);
    const double span = x1 - x0;
    for (int k = 0; k < 3; ++k) {
        const double t = std::fmod((frame + k * kFrameCount / 3.0) / kFrameCount, 1.0);
        const double glow = std::sin(t * 3.14159265);
        QColor halo = orange;
        halo.setAlphaF(0.25 * glow);
        const QPointF at(x0 + 5 + t * (span - 10), y);
        p.setBrush(halo);
        p.drawEllipse(at, 6.5, 6.5);
        QColor pulse = orange;
        pulse.setAlphaF(0.45 + 0.55 * glow);
        p.setBrush(pulse);
        p.drawEllipse(at, 4.0, 4.0);
    }
}
