// CLogPage: the "Log Messages" page of the main window. One multi-line text (control 1019) that
// only grows: texts are appended at the end and scrolled into view. The keyboard neither changes
// the log nor moves its caret (the copy shortcut still copies); mouse selection and the context
// menu's Copy and Select All work.
//
// The log's texts end their lines with "\r\n" (and some with a bare "\n"); each line break is
// shown as one line break.
#pragma once

#include <QString>
#include <QWidget>

class QPlainTextEdit;

class CLogPage : public QWidget {
    Q_OBJECT
public:
    explicit CLogPage(QWidget* parent = nullptr);

    // Appends text at the end of the log, unchanged, and scrolls it into view. UI thread only.
    void AppendLog(const QString& text);
    // Empties the log (done when a link opens).
    void ClearLog();
    // The log as it was appended, line breaks as given ("\r\n").
    const QString& Text() const { return m_text; }
    // The log as shown (line breaks "\n").
    QString ShownText() const;

    QPlainTextEdit* Edit() const { return m_edit; }
    void SetLogFont(const QFont& font);

    // The log's text with each "\r\n", "\r" or "\n" turned into one "\n".
    static QString ShownForm(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPlainTextEdit* m_edit;
    QString m_text;
};
