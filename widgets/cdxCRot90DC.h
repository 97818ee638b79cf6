// Drawing turned by 90 or 270 degrees: paint into Painter() as if the target rectangle were
// upright (its width and height exchanged); the picture is copied to the target turned by the
// angle when the object goes out of scope.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRect>

class cdxCRot90DC {
public:
    // angle: 90 (turned clockwise, reads from top to bottom) or 270 (reads from bottom to top).
    cdxCRot90DC(QPainter& target, const QRect& rect, int angle, const QColor& background);
    ~cdxCRot90DC();
    cdxCRot90DC(const cdxCRot90DC&) = delete;
    cdxCRot90DC& operator=(const cdxCRot90DC&) = delete;

    QPainter& Painter() { return m_painter; }
    // The upright drawing area: (0, 0, rect height, rect width).
    QRect Rect() const { return QRect(0, 0, m_rect.height(), m_rect.width()); }

private:
    QPainter& m_target;
    QRect m_rect;
    int m_angle;
    QImage m_image;
    QPainter m_painter;
};
