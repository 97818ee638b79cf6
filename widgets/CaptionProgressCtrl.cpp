#include "CaptionProgressCtrl.h"

#include <QPaintEvent>
#include <QPainter>

CCaptionProgressCtrl::CCaptionProgressCtrl(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setLineWidth(1);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize CCaptionProgressCtrl::sizeHint() const {
    return m_vertical ? QSize(22, 160) : QSize(240, fontMetrics().height() + 8);
}

void CCaptionProgressCtrl::SetRange(short lower, short upper) {
    SetRange32(lower, upper);
}

void CCaptionProgressCtrl::SetRange32(int lower, int upper) {
    m_lower = lower;
    m_upper = upper;
    m_drawnLength = -1;
    update();
}

void CCaptionProgressCtrl::GetRange(int& lower, int& upper) const {
    lower = m_lower;
    upper = m_upper;
}

double CCaptionProgressCtrl::Fraction() const {
    if (m_upper == m_lower)
        return 0.0;
    return (static_cast<double>(m_position) - m_lower) / (static_cast<double>(m_upper) - m_lower);
}

int CCaptionProgressCtrl::BarLength() const {
    return static_cast<int>(Fraction() * contentsRect().width());
}

int CCaptionProgressCtrl::SetPos(int position) {
    const int previous = m_position;
    m_position = position;
    const int length = BarLength();
    if (length != m_drawnLength) {
        m_drawnLength = length;
        if (isVisible())
            repaint();
        else
            update();
    }
    return previous;
}

int CCaptionProgressCtrl::OffsetPos(int delta) {
    return SetPos(m_position + delta);
}

int CCaptionProgressCtrl::StepIt() {
    return SetPos(m_position + m_step);
}

int CCaptionProgressCtrl::SetStep(int step) {
    const int previous = m_step;
    m_step = step;
    return previous;
}

QColor CCaptionProgressCtrl::SetBarColor(const QColor& color) {
    const QColor previous = m_barColor;
    m_barColor = color;
    update();
    return previous;
}

QColor CCaptionProgressCtrl::SetBkColor(const QColor& color) {
    const QColor previous = m_bkColor;
    m_bkColor = color;
    update();
    return previous;
}

QColor CCaptionProgressCtrl::SetTextColor(const QColor& color) {
    const QColor previous = m_textColor;
    m_textColor = color;
    update();
    return previous;
}

void CCaptionProgressCtrl::ShowText(bool show) {
    if (show == m_showText)
        return;
    m_showText = show;
    update();
}

void CCaptionProgressCtrl::SetWindowText(const QString& text) {
    setWindowTitle(text);
    if (text == m_caption)
        return;
    m_caption = text;
    if (isVisible())
        repaint();
    else
        update();
}

void CCaptionProgressCtrl::SetVertical(bool vertical) {
    m_vertical = vertical;
    m_drawnLength = -1;
    updateGeometry();
    update();
}

QString CCaptionProgressCtrl::ShownText() const {
    if (!m_showText || m_vertical)
        return {};
    if (!m_caption.isEmpty())
        return m_caption;
    return QStringLiteral("%1%").arg(static_cast<int>(Fraction() * 100));
}

QColor CCaptionProgressCtrl::ResolvedBar() const {
    return m_barColor.isValid() ? m_barColor : palette().color(QPalette::Active, QPalette::Highlight);
}

QColor CCaptionProgressCtrl::ResolvedBk() const {
    return m_bkColor.isValid() ? m_bkColor : palette().color(QPalette::Active, QPalette::Base);
}

void CCaptionProgressCtrl::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    m_drawnLength = -1;
}

void CCaptionProgressCtrl::paintEvent(QPaintEvent* event) {
    ++m_paintCount;
    QPainter painter(this);
    const QRect client = contentsRect();
    const QColor bar = ResolvedBar();
    const QColor bk = ResolvedBk();
    if (m_lower < m_upper) {
        const double fraction = Fraction();
        QRect barPart = client;
        QRect restPart = client;
        if (m_vertical) {
            const int top = client.top() + client.height() - static_cast<int>(fraction * client.height());
            barPart.setTop(std::clamp(top, client.top(), client.bottom() + 1));
            restPart.setBottom(barPart.top() - 1);
        } else {
            const int length = static_cast<int>(fraction * client.width());
            barPart.setWidth(std::clamp(length, 0, client.width()));
            restPart.setLeft(barPart.right() + 1);
        }
        if (barPart.isValid())
            painter.fillRect(barPart, bar);
        if (restPart.isValid())
            painter.fillRect(restPart, bk);
        const QString text = ShownText();
        if (!text.isEmpty()) {
            painter.setFont(font());
            const int flags = Qt::AlignCenter | Qt::TextSingleLine;
            painter.save();
            painter.setClipRect(barPart);
            painter.setPen(m_textColor.isValid() ? m_textColor : bk);
            painter.drawText(client, flags, text);
            painter.setClipRect(restPart);
            painter.setPen(m_textColor.isValid() ? m_textColor : bar);
            painter.drawText(client, flags, text);
            painter.restore();
        }
    } else {
        painter.fillRect(client, bk);
    }
    drawFrame(&painter);
    Q_UNUSED(event);
}
