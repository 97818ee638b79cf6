#include "cdxCRot90DC.h"

#include <QTransform>

cdxCRot90DC::cdxCRot90DC(QPainter& target, const QRect& rect, int angle, const QColor& background)
    : m_target(target), m_rect(rect), m_angle(angle == 270 ? 270 : 90) {
    const qreal ratio = target.device() ? target.device()->devicePixelRatioF() : 1.0;
    m_image = QImage(QSize(rect.height(), rect.width()) * ratio, QImage::Format_ARGB32_Premultiplied);
    m_image.setDevicePixelRatio(ratio);
    m_image.fill(background);
    m_painter.begin(&m_image);
    m_painter.setFont(target.font());
    m_painter.setPen(target.pen());
}

cdxCRot90DC::~cdxCRot90DC() {
    m_painter.end();
    const QImage turned = m_image.transformed(QTransform().rotate(m_angle));
    m_target.drawImage(m_rect.topLeft(), turned);
}
