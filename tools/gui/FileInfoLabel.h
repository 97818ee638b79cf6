// CFileInfoLabel: the Memory Dump page's file information, a small self-drawn label. It paints its
// text on the button-face colour, in its parent's font, vertically centred, with no mnemonic
// prefix. A text too wide for the label is shortened with an ellipsis: in path mode in the middle,
// keeping as much as it can of what follows the last '/' (the file name and what is appended to
// it); otherwise at the end. Setting the text repaints the label at once.
#pragma once

#include <QFontMetrics>
#include <QString>
#include <QWidget>

class CFileInfoLabel : public QWidget {
    Q_OBJECT
public:
    explicit CFileInfoLabel(QWidget* parent = nullptr);

    void SetText(const QString& text);
    QString GetText() const { return m_text; }

    // Path mode: shorten in the middle (on) or at the end (off, the default).
    void SetPathEllipsis(bool on);
    bool IsPathEllipsis() const { return m_pathEllipsis; }

    // The text as it is drawn in the current width.
    QString ShownText() const;
    // The rule itself: text shortened to fit width pixels of the given metrics.
    static QString Shorten(const QString& text, const QFontMetrics& metrics, int width, bool pathEllipsis);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    bool m_pathEllipsis = false;
};
