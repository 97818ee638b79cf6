// A hyperlink label: its text in the link colour (the visited colour once opened, the hover
// colour under the mouse), underlined always, never or only while hovered; a click opens the
// URL through the desktop. The URL defaults to the text and the text to the URL.
#pragma once

#include <QColor>
#include <QLabel>
#include <QTimer>

#include <functional>

class CLinkLabel : public QLabel {
    Q_OBJECT
public:
    enum { UNDERLINE_HOVER = -1, UNDERLINE_NEVER = 0, UNDERLINE_ALWAYS = 1 };

    explicit CLinkLabel(const QString& text = QString(), QWidget* parent = nullptr);

    // Sets the URL (and the text when it is empty), re-sizes the control and updates the tooltip.
    void SetURL(const QString& url);
    QString GetURL() const { return m_url; }
    void SetLinkText(const QString& text);
    // An invalid colour keeps the current one.
    void SetColors(const QColor& link, const QColor& visited, const QColor& hover = QColor());
    QColor LinkColor() const { return m_linkColor; }
    QColor VisitedColor() const { return m_visitedColor; }
    QColor HoverColor() const { return m_hoverColor; }
    void SetUnderline(int mode);
    int GetUnderline() const { return m_underline; }
    void SetAutoSize(bool autoSize);
    bool GetAutoSize() const { return m_autoSize; }
    void SetVisited(bool visited);
    bool GetVisited() const { return m_visited; }
    bool IsHovered() const { return m_hovered; }
    // The colour the text is drawn in now.
    QColor CurrentColor() const;

    // Opens the URL; on failure beeps and shows "Unable to open hyperlink:" with the reason.
    // Returns true when it opened.
    bool OpenURL();

    // The message text for a failure code of opening a link.
    static QString ErrorText(int code);
    // Results of an opener: above 32 the link opened; 32 or less is a failure code of the table
    // of ErrorText(). The desktop's refusal is reported as "no application associated".
    static constexpr int kOpened = 33;
    static constexpr int kNoAssociation = 31;
    // Replaces the desktop opener (tests). Empty restores the desktop.
    static void SetOpener(std::function<int(const QString& url)> opener);

signals:
    void linkOpened(const QString& url);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void ApplyLook();
    void AutoSize();
    void CheckHover();

    QString m_url;
    QColor m_linkColor{0, 0, 238};
    QColor m_visitedColor{85, 26, 139};
    QColor m_hoverColor{255, 0, 0};
    int m_underline = UNDERLINE_HOVER;
    bool m_autoSize = true;
    bool m_visited = false;
    bool m_hovered = false;
    QTimer m_hoverTimer;
};
