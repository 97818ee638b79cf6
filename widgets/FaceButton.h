// An owner-drawn button with a pair of icons, hover and flat looks, colours per state, and
// optionally a tooltip, a popup menu or a URL. A checkable button is a two-state "check box"
// button: it looks pressed while checked (the connect toggle, the dump output mode).
#pragma once

#include <QColor>
#include <QIcon>
#include <QPointer>
#include <QPushButton>
#include <QUrl>

class QMenu;

class CFaceButton : public QPushButton {
    Q_OBJECT
public:
    // Colour indexes of SetColor(): background and text while hovered ("in"), at rest ("out")
    // and while focused.
    enum {
        COLOR_BK_IN = 0,
        COLOR_FG_IN = 1,
        COLOR_BK_OUT = 2,
        COLOR_FG_OUT = 3,
        COLOR_BK_FOCUS = 4,
        COLOR_FG_FOCUS = 5,
        COLOR_COUNT = 6
    };

    explicit CFaceButton(QWidget* parent = nullptr);
    explicit CFaceButton(const QString& text, QWidget* parent = nullptr);

    // The icon shown while hovered or pressed, and the one shown otherwise (defaults to the first).
    void SetIcons(const QIcon& in, const QIcon& out = QIcon(), bool repaint = true);
    // The same from icon numbers of res/resource.h.
    void SetIcons(int inId, int outId, bool repaint = true);
    void SetIconSize(int size);

    // 0 for an index above 5 (nothing changes), else 1. An invalid colour is the palette's.
    int SetColor(int index, const QColor& color, bool repaint = true);
    QColor GetColor(int index) const;

    void SetFlat(bool flat, bool repaint = true);
    bool IsFlatLook() const { return m_flat; }

    // Check-box mode only (a checkable button).
    void SetCheck(bool checked, bool repaint = true);
    int GetCheck() const;

    // Tooltip text; activate switches it on or off.
    void SetTooltipText(const QString& text, bool activate = true);
    // Hover shown even while the window is not active.
    void SetAlwaysTrack(bool always);
    void SetHandCursor(bool hand, bool repaint = false);
    // A popup menu shown below the button on a click (the button does not own it).
    void SetMenu(QMenu* menu, bool repaint = true);
    // A URL opened through the desktop on a click.
    void SetURL(const QUrl& url);
    QUrl GetURL() const { return m_url; }

    bool IsHovered() const { return m_hovered; }
    bool IsCheckBox() const { return isCheckable(); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void nextCheckState() override;

    // Drawing steps a variant may change: the whole face (frame, background, border) and
    // its parts.
    virtual void DrawFace(QPainter& painter, QRect rect, bool pressed);
    virtual void DrawBackground(QPainter& painter, const QRect& rect, bool pressed);
    virtual void DrawFlatBorder(QPainter& painter, const QRect& rect, bool pressed);
    QColor StateColor(bool background) const;
    bool IsPressedLook() const;

private:
    void Init();
    void OnClicked();
    void SetHovered(bool hovered);

    QIcon m_iconIn;
    QIcon m_iconOut;
    int m_iconSize = 32;
    bool m_flat = false;
    bool m_hovered = false;
    bool m_alwaysTrack = false;
    QColor m_colors[COLOR_COUNT];
    QPointer<QMenu> m_menu;
    bool m_menuShown = false;
    QUrl m_url;
    QString m_tooltip;
};
