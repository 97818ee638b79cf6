#include "cdxCRotBevelLine.h"

#include "cdxCRot90DC.h"

#include <QPainter>

cdxCRotBevelLine::cdxCRotBevelLine(const QString& text, QWidget* parent) : QWidget(parent), m_text(text) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void cdxCRotBevelLine::SetText(const QString& text) {
    m_text = text;
    updateGeometry();
    update();
}

void cdxCRotBevelLine::SetAlignment(Qt::Alignment alignment) {
    m_alignment = alignment & Qt::AlignHorizontal_Mask;
    update();
}

void cdxCRotBevelLine::SetSunken(bool sunken) {
    m_sunken = sunken;
    update();
}

QSize cdxCRotBevelLine::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    return QSize(fm.horizontalAdvance(m_text) + 40, fm.height() + 4);
}

QSize cdxCRotBevelLine::minimumSizeHint() const {
    return QSize(8, fontMetrics().height() + 2);
}

void cdxCRotBevelLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& pal = palette();
    const QColor face = pal.color(QPalette::Window);
    const QColor light = pal.color(QPalette::Light);
    const QColor shadow = pal.color(QPalette::Dark);
    const QRect client = rect();
    painter.fillRect(client, face);
    const bool horizontal = client.width() > client.height();
    const QColor first = m_sunken ? shadow : light;
    const QColor second = m_sunken ? light : shadow;
    if (horizontal) {
        const int y = client.height() / 2 - 1;
        painter.setPen(first);
        painter.drawLine(client.left(), y, client.right(), y);
        painter.setPen(second);
        painter.drawLine(client.left(), y + 1, client.right(), y + 1);
    } else {
        const int x = client.width() / 2 - 1;
        painter.setPen(first);
        painter.drawLine(x, client.top(), x, client.bottom());
        painter.setPen(second);
        painter.drawLine(x + 1, client.top(), x + 1, client.bottom());
    }
    if (m_text.isEmpty())
        return;

    QString text = m_text;
    int angle = 90;
    if (!horizontal && text.startsWith(QLatin1Char('~'))) {
        angle = 270;
        text.remove(0, 1);
    }
    // One space on the side facing the line, both sides when centred.
    if (m_alignment & Qt::AlignHCenter)
        text = QLatin1Char(' ') + text + QLatin1Char(' ');
    else if (m_alignment & Qt::AlignRight)
        text = QLatin1Char(' ') + text;
    else
        text += QLatin1Char(' ');

    painter.setFont(font());
    const QFontMetrics fm = painter.fontMetrics();
    const int textWidth = fm.horizontalAdvance(text);
    const int length = horizontal ? client.width() : client.height();
    const int thickness = horizontal ? client.height() : client.width();
    const int extent = qMin(textWidth, length);
    int start = 0;
    if (m_alignment & Qt::AlignHCenter)
        start = (length - extent) / 2;
    else if (m_alignment & Qt::AlignRight)
        start = length - extent;
    // The text's box in upright coordinates.
    const QRect upright(0, 0, extent, thickness);

    auto drawText = [&](QPainter& p, const QRect& box) {
        p.fillRect(box, face);
        const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
        if (isEnabled()) {
            p.setPen(pal.color(QPalette::WindowText));
            p.drawText(box, flags, text);
        } else {
            p.setPen(light);
            p.drawText(box.translated(1, 1), flags, text);
            p.setPen(shadow);
            p.drawText(box, flags, text);
        }
    };
    if (horizontal) {
        drawText(painter, upright.translated(start, 0));
        return;
    }
    // Vertical: drawn upright into a bitmap, then turned onto the line.
    const QRect target = angle == 90 ? QRect(0, start, thickness, extent)
                                     : QRect(0, length - start - extent, thickness, extent);
    cdxCRot90DC rotated(painter, target, angle, face);
    drawText(rotated.Painter(), rotated.Rect());
}
