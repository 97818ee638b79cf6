// A single-line edit for one or more file paths, or a folder path, with a browse button drawn
// inside its frame. The button (or Ctrl with the full stop) opens CFECFileDialog, or a folder
// browser, at the path already typed; files dropped from the desktop set the text; symbolic links
// are resolved to their targets; Validate() checks on OK that the text names existing files or
// folders.
#pragma once

#include "FECFileDialog.h"

#include <QLineEdit>
#include <QPointer>
#include <QStringList>

// Flags of SetFlags(). Exactly one of FILEEDIT_FILE and FILEEDIT_FOLDER.
enum : quint32 {
    FILEEDIT_FILE = 0x0001,        // browse for files
    FILEEDIT_MULTIPLE = 0x0002,    // several files, separated by ";"
    FILEEDIT_FOLDER = 0x0004,      // browse for a folder
    FILEEDIT_SLASH = 0x0008,       // folder paths end with "/"
    FILEEDIT_LEFT_BUTTON = 0x0010, // button at the left edge
    FILEEDIT_BUTTON_TIP = 0x0020,  // tooltip "Browse" over the button
    FILEEDIT_TEXT_TIP = 0x0040,    // the caller's tooltip over the text
    FILEEDIT_WILDCARDS = 0x0080,   // names with "*" or "?" stand for the files they match
    FILEEDIT_KEEP_LINKS = 0x0100,  // symbolic links stay as they are
    FILEEDIT_FLAT = 0x0400,        // border and button only while hovered or focused
    FILEEDIT_GREY_DOTS = 0x0800,   // grey dots in the flat look
};

class CFileEditCtrl : public QLineEdit {
    Q_OBJECT
public:
    // Drawn states of the button; BUTTON_FLAT is added while it is drawn flat.
    enum { BUTTON_NORMAL = 1, BUTTON_PRESSED = 2, BUTTON_DISABLED = 4, BUTTON_FLAT = 8 };

    explicit CFileEditCtrl(QWidget* parent = nullptr, quint32 flags = FILEEDIT_FILE);
    ~CFileEditCtrl() override;

    // 0 when neither or both of FILEEDIT_FILE and FILEEDIT_FOLDER are set (nothing changes), else 1.
    int SetFlags(quint32 flags);
    // In file mode FILEEDIT_MULTIPLE and FILEEDIT_KEEP_LINKS report the dialog's own options.
    quint32 GetFlags() const;
    // Pixels; -1 means 80 percent of the inner height. Returns the old width.
    int SetButtonWidth(int width);
    int GetButtonWidth() const { return m_buttonWidth; }
    void SetTextTip(const QString& tip);

    // 1 when the text names at least one path, else 0; re-reads the text if it changed.
    int GetStartPosition() const;
    // The full path at position (1-based) and the position of the next one (0 after the last).
    QString GetNextPathName(int& position) const;
    // All full paths of the text, in order.
    QStringList GetPaths() const;

    // Dialog exchange: the first full path (empty when there is none) ...
    QString FirstPath() const;
    // ... and the check on OK: the message for the text, empty when it names existing files
    // (file mode) or folders (folder mode).
    QString ValidationMessage() const;
    // Shows the message of ValidationMessage() in a message box and gives the focus back to the
    // control; true when there was nothing to say.
    bool Validate();

    // Opens the file dialog or folder browser as the button does.
    void Browse();
    // The dialog of file mode (nullptr in folder mode).
    CFECFileDialog* FileDialog() const { return m_fileDialog; }
    // The folder browser while it is open (for tests).
    QFileDialog* OpenFolderDialog() const { return m_folderDialog; }

    // What a drop of these paths does (the text is replaced); for drops and tests.
    void DropPaths(const QStringList& paths);

    // Geometry and state of the button, in widget coordinates.
    QRect ButtonRect() const;
    int ButtonState() const;

signals:
    // Before browsing; setting *cancel to true cancels it.
    void browseStarting(CFileEditCtrl* control, bool* cancel);
    // After a successful choice.
    void browseDone(CFileEditCtrl* control);
    // After dropped files replaced the text.
    void filesDropped(CFileEditCtrl* control);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void Parse() const;
    void AddName(const QString& name) const;
    QString FullPath(const QString& name) const;
    QString ResolveLink(const QString& path) const;
    bool KeepLinks() const;
    bool Multiple() const;
    void UpdateFrame();
    int EffectiveButtonWidth() const;
    bool DrawnFlat() const;
    void DrawButton(QPainter& painter) const;
    void DrawDots(QPainter& painter, const QRect& button, const QColor& color, int shift) const;
    void BrowseForFile();
    void BrowseForFolder();
    void SetPressed(bool pressed);

    quint32 m_flags = 0;
    int m_buttonWidth = -1;
    QString m_textTip;
    bool m_buttonHeld = false;
    bool m_buttonDown = false;
    bool m_hovered = false;
    QPointer<CFECFileDialog> m_fileDialog;
    QPointer<QFileDialog> m_folderDialog;
    // The path list, parsed from the text when it is asked for after a change.
    mutable bool m_textChanged = true;
    mutable QString m_baseFolder;
    mutable QStringList m_names;
    mutable QStringList m_folderPaths;
};
