#include "EdgePainter.h"

namespace edgepaint {
namespace {

void DrawEdge(QPainter& painter, const QRect& r, const QColor& outerTopLeft, const QColor& outerBottomRight,
              const QColor& innerTopLeft, const QColor& innerBottomRight) {
    painter.setPen(outerTopLeft);
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(outerBottomRight);
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
    painter.setPen(innerTopLeft);
    painter.drawLine(r.left() + 1, r.top() + 1, r.right() - 1, r.top() + 1);
    painter.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 1);
    painter.setPen(innerBottomRight);
    painter.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
    painter.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);
}

} // namespace

void DrawRaised(QPainter& painter, const QRect& r, const QPalette& palette) {
    DrawEdge(painter, r, palette.color(QPalette::Light), palette.color(QPalette::Shadow),
             palette.color(QPalette::Midlight), palette.color(QPalette::Dark));
}

void DrawSunken(QPainter& painter, const QRect& r, const QPalette& palette) {
    DrawEdge(painter, r, palette.color(QPalette::Dark), palette.color(QPalette::Light),
             palette.color(QPalette::Shadow), palette.color(QPalette::Midlight));
}

void DrawTick(QPainter& painter, int x, int y, const QColor& color) {
    painter.setPen(color);
    for (int i = 0; i < 4; ++i) {
        painter.drawLine(x + 9 - i, y + 3 + i, x + 9 - i, y + 3 + i + 2);
    }
    for (int i = 0; i < 3; ++i) {
        painter.drawLine(x + 5 - i, y + 7 - i, x + 5 - i, y + 7 - i + 2);
    }
}

} // namespace edgepaint
