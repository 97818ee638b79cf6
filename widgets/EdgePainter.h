// The two-pixel 3D edges and the check-box tick that the self-drawn controls share.
#pragma once

#include <QColor>
#include <QPainter>
#include <QPalette>
#include <QRect>

namespace edgepaint {

// A raised edge (buttons): light and midlight at the top left, shadow and dark at the bottom
// right. r is the outline rectangle (its right and bottom lines are drawn on r.right(), r.bottom()).
void DrawRaised(QPainter& painter, const QRect& r, const QPalette& palette);
// A sunken edge (check boxes): dark and shadow at the top left, light and midlight at the bottom
// right.
void DrawSunken(QPainter& painter, const QRect& r, const QPalette& palette);
// The tick of a check box whose box starts at (x, y): two strokes of 3-pixel columns.
void DrawTick(QPainter& painter, int x, int y, const QColor& color);

} // namespace edgepaint
