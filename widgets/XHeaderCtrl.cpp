#include "XHeaderCtrl.h"

#include "EdgePainter.h"

#include <QAbstractItemModel>
#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>

CXHeaderCtrl::CXHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsClickable(true);
    setHighlightSections(false);
    TakeColors();
}

void CXHeaderCtrl::TakeColors() {
    const QPalette& pal = palette();
    m_highlight = pal.color(QPalette::Light);
    m_shadow = pal.color(QPalette::Dark);
    m_face = pal.color(QPalette::Button);
    m_text = pal.color(QPalette::ButtonText);
}

void CXHeaderCtrl::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        TakeColors();
    QHeaderView::changeEvent(event);
}

int CXHeaderCtrl::GetCheckState(int column) const {
    if (column < 0 || column >= count())
        return -1;
    return column < m_checkStates.size() ? m_checkStates[column] : 0;
}

void CXHeaderCtrl::SetCheckState(int column, int state) {
    if (column < 0 || column >= count() || state < 0 || state > 2)
        return;
    if (m_checkStates.size() <= column)
        m_checkStates.resize(column + 1);
    m_checkStates[column] = state;
    viewport()->update();
}

void CXHeaderCtrl::SetHeaderProperty(int property, int value) {
    switch (property) {
    case HEADER_MARGIN:
        m_margin = value;
        break;
    case HEADER_RESERVED_SIZES:
        m_reservedWidth = value & 0xFFFF;
        m_reservedHeight = (value >> 16) & 0xFFFF;
        break;
    case HEADER_EXTRA_WIDTH:
        m_extraWidth = value != 0;
        updateGeometry();
        break;
    case HEADER_RESERVED:
        m_reserved = value;
        break;
    default:
        return;
    }
    viewport()->update();
}

QSize CXHeaderCtrl::sizeHint() const {
    QSize size = QHeaderView::sizeHint();
    size.setHeight(qMax(size.height(), fontMetrics().height() + 8));
    if (m_extraWidth)
        size.rwidth() += 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    return size;
}

void CXHeaderCtrl::DrawCheckPicture(QPainter& painter, const QRect& box, bool checked,
                                    const QPalette& palette, bool enabled) {
    // A sunken box in the window colour; the tick is two strokes of 3-pixel columns.
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(box, palette.color(QPalette::Base));
    const QRect r = box.adjusted(0, 0, -1, -1);
    edgepaint::DrawSunken(painter, r, palette);
    if (checked) {
        edgepaint::DrawTick(painter, box.left(), box.top(),
                            enabled ? QColor(Qt::black) : palette.color(QPalette::Disabled, QPalette::Text));
    }
    painter.restore();
}

void CXHeaderCtrl::paintEvent(QPaintEvent* event) {
    const QRect update = event->rect();
    QPixmap buffer;
    QPainter direct;
    QPainter* p = nullptr;
    QPainter bufferPainter;
    if (m_doubleBuffer) {
        buffer = QPixmap(update.size() * devicePixelRatioF());
        buffer.setDevicePixelRatio(devicePixelRatioF());
        bufferPainter.begin(&buffer);
        bufferPainter.translate(-update.topLeft());
        p = &bufferPainter;
    } else {
        direct.begin(viewport());
        p = &direct;
    }
    p->fillRect(update, m_face);
    p->setFont(font());
    int summed = 0;
    const int items = count();
    for (int visual = 0; visual < items; ++visual) {
        const int logical = logicalIndex(visual);
        if (isSectionHidden(logical))
            continue;
        const int width = sectionSize(logical);
        summed += width;
        const QRect rect(sectionViewportPosition(logical), 0, width, viewport()->height());
        DrawItem(*p, logical, rect.adjusted(m_margin, 0, -m_margin, 0));
        if (visual < items - 1) {
            p->setPen(m_shadow);
            p->drawLine(rect.right() - 1, rect.top() + 2, rect.right() - 1, rect.bottom() - 2);
            p->setPen(m_highlight);
            p->drawLine(rect.right(), rect.top() + 2, rect.right(), rect.bottom() - 2);
        }
    }
    if (summed > 0) {
        const QRect all(-offset(), 0, summed, viewport()->height());
        p->setPen(m_highlight);
        p->drawLine(all.topLeft(), all.topRight());
        p->drawLine(all.topLeft(), all.bottomLeft());
        p->setPen(m_shadow);
        p->drawLine(all.bottomLeft(), all.bottomRight());
        p->drawLine(all.topRight(), all.bottomRight());
    }
    if (m_doubleBuffer) {
        bufferPainter.end();
        QPainter screen(viewport());
        screen.drawPixmap(update.topLeft(), buffer);
    }
}

void CXHeaderCtrl::DrawItem(QPainter& painter, int logical, QRect rect) {
    if (rect.width() <= 0)
        return;
    const int state = GetCheckState(logical);
    if (state > 0) {
        const int side = qMin(kCheckPictureSize, rect.width());
        const QRect box(rect.left(), rect.top() + (rect.height() - kCheckPictureSize) / 2, side,
                        kCheckPictureSize);
        painter.save();
        painter.setClipRect(rect);
        DrawCheckPicture(painter, QRect(box.topLeft(), QSize(kCheckPictureSize, kCheckPictureSize)),
                         state == 2, palette(), isEnabled());
        painter.restore();
        rect.setLeft(rect.left() + kCheckPictureSize + m_margin);
    }
    const QString text =
        model() ? model()->headerData(logical, orientation(), Qt::DisplayRole).toString() : QString();
    if (text.isEmpty() || rect.width() <= 0)
        return;
    painter.setPen(QColor(0, 0, 255));
    const QString shown = painter.fontMetrics().elidedText(text, Qt::ElideRight, rect.width());
    painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine, shown);
}
