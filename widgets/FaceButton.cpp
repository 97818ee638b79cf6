#include "FaceButton.h"

#include "EdgePainter.h"

#include "Resources.h"

#include <QDesktopServices>
#include <QEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

CFaceButton::CFaceButton(QWidget* parent) : QPushButton(parent) {
    Init();
}

CFaceButton::CFaceButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    Init();
}

void CFaceButton::Init() {
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover);
    connect(this, &QPushButton::clicked, this, &CFaceButton::OnClicked);
}

void CFaceButton::SetIcons(const QIcon& in, const QIcon& out, bool repaint) {
    m_iconIn = in;
    m_iconOut = out.isNull() ? in : out;
    updateGeometry();
    if (repaint)
        update();
}

void CFaceButton::SetIcons(int inId, int outId, bool repaint) {
    SetIcons(LoadResIcon(inId), LoadResIcon(outId), repaint);
}

void CFaceButton::SetIconSize(int size) {
    m_iconSize = size;
    updateGeometry();
    update();
}

int CFaceButton::SetColor(int index, const QColor& color, bool repaint) {
    if (index < 0 || index >= COLOR_COUNT)
        return 0;
    m_colors[index] = color;
    if (repaint)
        update();
    return 1;
}

QColor CFaceButton::GetColor(int index) const {
    return index >= 0 && index < COLOR_COUNT ? m_colors[index] : QColor();
}

void CFaceButton::SetFlat(bool flat, bool repaint) {
    m_flat = flat;
    if (repaint)
        update();
}

void CFaceButton::SetCheck(bool checked, bool repaint) {
    if (!isCheckable())
        return;
    setChecked(checked);
    if (repaint)
        update();
}

int CFaceButton::GetCheck() const {
    return isCheckable() && isChecked() ? 1 : 0;
}

void CFaceButton::SetTooltipText(const QString& text, bool activate) {
    m_tooltip = text;
    setToolTip(activate ? text : QString());
}

void CFaceButton::SetAlwaysTrack(bool always) {
    m_alwaysTrack = always;
}

void CFaceButton::SetHandCursor(bool hand, bool repaint) {
    if (hand)
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
    if (repaint)
        update();
}

void CFaceButton::SetMenu(QMenu* menu, bool repaint) {
    m_menu = menu;
    if (repaint)
        update();
}

void CFaceButton::SetURL(const QUrl& url) {
    m_url = url;
}

QSize CFaceButton::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    int width = 12;
    int height = 8;
    if (!m_iconIn.isNull()) {
        width += m_iconSize;
        height += m_iconSize;
    }
    if (!text().isEmpty()) {
        const QSize t = fm.size(Qt::TextShowMnemonic, text());
        width = qMax(width, t.width() + 20);
        height = m_iconIn.isNull() ? qMax(height, t.height() + 12) : height + t.height() + 2;
    }
    return QSize(width, height);
}

// --- hover and clicks ------------------------------------------------------------------------

void CFaceButton::SetHovered(bool hovered) {
    if (hovered != m_hovered) {
        m_hovered = hovered;
        update();
    }
}

void CFaceButton::enterEvent(QEnterEvent* event) {
    if (m_alwaysTrack || window()->isActiveWindow())
        SetHovered(true);
    QPushButton::enterEvent(event);
}

void CFaceButton::mouseMoveEvent(QMouseEvent* event) {
    if (rect().contains(event->position().toPoint()) && (m_alwaysTrack || window()->isActiveWindow()))
        SetHovered(true);
    QPushButton::mouseMoveEvent(event);
}

void CFaceButton::leaveEvent(QEvent* event) {
    SetHovered(false);
    QPushButton::leaveEvent(event);
}

void CFaceButton::focusOutEvent(QFocusEvent* event) {
    SetHovered(false);
    QPushButton::focusOutEvent(event);
}

void CFaceButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && !window()->isActiveWindow() && !m_alwaysTrack)
        SetHovered(false);
    QPushButton::changeEvent(event);
}

void CFaceButton::nextCheckState() {
    QPushButton::nextCheckState();
    update();
}

void CFaceButton::OnClicked() {
    if (isCheckable())
        return; // the state already changed
    if (m_menu) {
        m_menuShown = true;
        setDown(true);
        m_menu->exec(mapToGlobal(QPoint(0, height())));
        m_menuShown = false;
        setDown(false);
        SetHovered(false);
        return;
    }
    if (m_url.isValid() && !m_url.isEmpty())
        QDesktopServices::openUrl(m_url);
}

// --- drawing ---------------------------------------------------------------------------------

bool CFaceButton::IsPressedLook() const {
    return isDown() || m_menuShown || (isCheckable() && isChecked());
}

QColor CFaceButton::StateColor(bool background) const {
    const int base = hasFocus() ? COLOR_BK_FOCUS : (m_hovered ? COLOR_BK_IN : COLOR_BK_OUT);
    const QColor color = m_colors[base + (background ? 0 : 1)];
    if (color.isValid())
        return color;
    return palette().color(background ? QPalette::Button : QPalette::ButtonText);
}

void CFaceButton::DrawBackground(QPainter& painter, const QRect& rect, bool) {
    painter.fillRect(rect, StateColor(true));
}

void CFaceButton::DrawFlatBorder(QPainter& painter, const QRect& rect, bool pressed) {
    if (!m_hovered && !pressed)
        return;
    const QRect r = rect.adjusted(0, 0, -1, -1);
    const QPalette& pal = palette();
    painter.setPen(pressed ? pal.color(QPalette::Dark) : pal.color(QPalette::Light));
    painter.drawLine(r.topLeft(), r.topRight());
    painter.drawLine(r.topLeft(), r.bottomLeft());
    painter.setPen(pressed ? pal.color(QPalette::Light) : pal.color(QPalette::Dark));
    painter.drawLine(r.bottomLeft(), r.bottomRight());
    painter.drawLine(r.topRight(), r.bottomRight());
}

void CFaceButton::DrawFace(QPainter& painter, QRect rect, bool pressed) {
    const QPalette& pal = palette();
    if (!m_flat && (hasFocus() || isDefault())) {
        painter.setPen(Qt::black);
        painter.drawRect(rect.adjusted(0, 0, -1, -1));
        rect.adjust(1, 1, -1, -1);
    }
    DrawBackground(painter, rect, pressed);
    const QRect r = rect.adjusted(0, 0, -1, -1);
    if (pressed) {
        if (!m_flat) {
            painter.setPen(pal.color(QPalette::Dark));
            painter.drawRect(r);
        } else {
            DrawFlatBorder(painter, rect, true);
        }
    } else if (!m_flat) {
        edgepaint::DrawRaised(painter, r, pal);
    } else {
        DrawFlatBorder(painter, rect, false);
    }
}

void CFaceButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& pal = palette();
    const bool pressed = IsPressedLook();
    QRect rect = this->rect();
    DrawFace(painter, rect, pressed);
    if (!m_flat && (hasFocus() || isDefault()))
        rect.adjust(1, 1, -1, -1);

    // Icon above the text (or centred alone), then the text; both shift while pressed.
    const int shift = pressed && !isCheckable() ? 1 : 0;
    const QIcon& icon = (pressed || m_hovered) ? m_iconIn : m_iconOut;
    const QString label = text();
    const QRect content = rect.adjusted(4, 3, -4, -3).translated(shift, shift);
    QRect textRect = content;
    if (!icon.isNull()) {
        const int size = qMin(m_iconSize, qMin(content.width(), content.height()));
        QRect iconRect(0, 0, size, size);
        if (label.isEmpty()) {
            iconRect.moveCenter(content.center());
        } else {
            const int textHeight = fontMetrics().height();
            const int total = size + 2 + textHeight;
            iconRect.moveTopLeft(
                QPoint(content.center().x() - size / 2 + 1, content.center().y() - total / 2 + 1));
            textRect.setTop(iconRect.bottom() + 2);
        }
        icon.paint(&painter, iconRect, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
    }
    if (!label.isEmpty()) {
        const int flags = Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic;
        painter.setFont(font());
        if (isEnabled()) {
            painter.setPen(StateColor(false));
            painter.drawText(textRect, flags, label);
        } else {
            painter.setPen(pal.color(QPalette::Light));
            painter.drawText(textRect.translated(1, 1), flags, label);
            painter.setPen(pal.color(QPalette::Dark));
            painter.drawText(textRect, flags, label);
        }
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = this->rect().adjusted(3, 3, -3, -3);
        focus.backgroundColor = StateColor(true);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}
