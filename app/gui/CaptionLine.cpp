#include "CaptionLine.h"

#include <QPainter>

CCaptionLine::CCaptionLine(const QString& text, const QFont& font, QWidget* parent)
    : QWidget(parent), m_text(text) {
    setFont(font);
    setFixedHeight(QFontMetrics(font).height() + 12);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CCaptionLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const int width = metrics.horizontalAdvance(m_text);
    const int left = (this->width() - width) / 2;
    const int baseline = 6 + metrics.ascent();
    // the embossed look of disabled text: the light colour one pixel down and right, then the
    // shadow colour over it
    painter.setPen(palette().color(QPalette::Light));
    painter.drawText(left + 1, baseline + 1, m_text);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawText(left, baseline, m_text);
}
