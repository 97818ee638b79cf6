#include "LogPage.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

#include "ControlId.h"
#include "resource.h"

CLogPage::CLogPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CLogPage"));
    setProperty("templateId", IDD_LOG_PAGE);
    m_edit = new QPlainTextEdit(this);
    SetControlId(m_edit, IDC_LOG);
    // read-only keeps Cut, Paste and Delete out of the context menu; the text stays selectable
    m_edit->setReadOnly(true);
    m_edit->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_edit->setUndoRedoEnabled(false);
    m_edit->setTabChangesFocus(true);
    m_edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_edit->setFrameShape(QFrame::StyledPanel);
    m_edit->installEventFilter(this);
    m_edit->viewport()->installEventFilter(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_edit);
}

QString CLogPage::ShownForm(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void CLogPage::AppendLog(const QString& text) {
    if (text.isEmpty()) {
        return;
    }
    // a "\r\n" split over two texts is still one line break
    const bool splitBreak = m_text.endsWith(QLatin1Char('\r')) && text.startsWith(QLatin1Char('\n'));
    m_text += text;
    QTextCursor cursor(m_edit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(ShownForm(splitBreak ? text.mid(1) : text));
    // the caret to the end and into view, the horizontal position back to the left edge
    m_edit->setTextCursor(cursor);
    m_edit->ensureCursorVisible();
    m_edit->horizontalScrollBar()->setValue(0);
}

void CLogPage::ClearLog() {
    m_text.clear();
    m_edit->clear();
}

QString CLogPage::ShownText() const {
    return m_edit->toPlainText();
}

void CLogPage::SetLogFont(const QFont& font) {
    m_edit->setFont(font);
}

bool CLogPage::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == m_edit || watched == m_edit->viewport()) &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy)) {
            if (event->type() == QEvent::KeyPress) {
                m_edit->copy();
            }
            event->accept();
            return true;
        }
        if (event->type() == QEvent::KeyPress && key->key() != Qt::Key_Tab && key->key() != Qt::Key_Backtab) {
            return true; // dropped: the keyboard does not touch the log
        }
    }
    return QWidget::eventFilter(watched, event);
}
