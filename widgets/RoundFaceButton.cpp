#include "RoundFaceButton.h"

#include <QPainter>

void CRoundFaceButton::SetRounded(bool rounded, bool repaint) {
    m_rounded = rounded;
    if (repaint)
        update();
}

void CRoundFaceButton::DrawFace(QPainter& painter, QRect rect, bool pressed) {
    if (!IsHovered() && !pressed) {
        CFaceButton::DrawFace(painter, rect, pressed);
        return;
    }
    // Behind the face, the parent's colour shows in the corners.
    painter.fillRect(rect, palette().color(QPalette::Window));
    QColor fill = GetColor(COLOR_BK_IN);
    if (!fill.isValid())
        fill = palette().color(QPalette::Button);
    painter.save();
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(fill);
    const QRectF face = QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5);
    if (m_rounded) {
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.drawRoundedRect(face, 4, 4);
    } else {
        painter.drawRect(face);
    }
    painter.restore();
}
