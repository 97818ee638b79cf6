#include "FileEditCtrl.h"

#include "EdgePainter.h"

#include "FECFileDialog.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QToolTip>
#include <QUrl>

namespace {

const QChar kSeparator = QLatin1Char(';');

bool IsAbsolute(const QString& path) {
    return path.startsWith(QLatin1Char('/'));
}

bool HasWildcards(const QString& name) {
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

QString TrimRight(const QString& s) {
    int end = static_cast<int>(s.size());
    while (end > 0 && s[end - 1].isSpace())
        --end;
    return s.left(end);
}

// Absolute, with "." and ".." taken out; a trailing "/" is dropped except for the root.
QString MakeAbsolute(const QString& path) {
    if (path.isEmpty())
        return QDir::currentPath();
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

// The folder part of a path with its trailing "/", or empty when the path has no folder part.
QString FolderOf(const QString& path) {
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash + 1);
}

QString NameOf(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// The nearest existing folder on the path (the path itself when it is one), with a trailing "/".
QString NearestExistingFolder(const QString& path) {
    QString folder = path;
    while (!folder.isEmpty()) {
        const QFileInfo info(folder);
        if (info.isDir())
            return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        if (folder == QLatin1String("/"))
            break;
        if (folder.endsWith(QLatin1Char('/')))
            folder.chop(1);
        folder = FolderOf(folder);
    }
    return {};
}

} // namespace

CFileEditCtrl::CFileEditCtrl(QWidget* parent, quint32 flags) : QLineEdit(parent) {
    setAcceptDrops(true);
    setMouseTracking(true);
    connect(this, &QLineEdit::textChanged, this, [this] { m_textChanged = true; });
    if (!SetFlags(flags))
        SetFlags(FILEEDIT_FILE);
}

CFileEditCtrl::~CFileEditCtrl() {
    delete m_fileDialog;
}

// --- flags and geometry ----------------------------------------------------------------------

int CFileEditCtrl::SetFlags(quint32 flags) {
    const bool file = flags & FILEEDIT_FILE;
    const bool folder = flags & FILEEDIT_FOLDER;
    if (file == folder)
        return 0;
    const quint32 old = m_flags;
    m_flags = flags;
    if (folder) {
        delete m_fileDialog;
        m_fileDialog = nullptr;
    } else {
        if (!m_fileDialog) {
            m_fileDialog = new CFECFileDialog(this);
            m_fileDialog->setWindowModality(Qt::ApplicationModal);
        }
        m_fileDialog->setFileMode((flags & FILEEDIT_MULTIPLE) ? QFileDialog::ExistingFiles
                                                              : QFileDialog::ExistingFile);
        m_fileDialog->setOption(QFileDialog::DontResolveSymlinks, (flags & FILEEDIT_KEEP_LINKS) != 0);
    }
    m_textChanged = true;
    if ((old ^ flags) & FILEEDIT_LEFT_BUTTON || old == 0)
        UpdateFrame();
    if ((old ^ flags) & (FILEEDIT_FLAT | FILEEDIT_GREY_DOTS))
        update();
    return 1;
}

quint32 CFileEditCtrl::GetFlags() const {
    quint32 flags = m_flags;
    if (m_fileDialog) {
        flags &= ~(FILEEDIT_MULTIPLE | FILEEDIT_KEEP_LINKS);
        if (m_fileDialog->fileMode() == QFileDialog::ExistingFiles)
            flags |= FILEEDIT_MULTIPLE;
        if (m_fileDialog->testOption(QFileDialog::DontResolveSymlinks))
            flags |= FILEEDIT_KEEP_LINKS;
    }
    return flags;
}

int CFileEditCtrl::SetButtonWidth(int width) {
    const int old = m_buttonWidth;
    m_buttonWidth = width;
    UpdateFrame();
    return old;
}

void CFileEditCtrl::SetTextTip(const QString& tip) {
    m_textTip = tip;
}

bool CFileEditCtrl::KeepLinks() const {
    return GetFlags() & FILEEDIT_KEEP_LINKS;
}

bool CFileEditCtrl::Multiple() const {
    return (m_flags & FILEEDIT_FILE) && (GetFlags() & FILEEDIT_MULTIPLE);
}

int CFileEditCtrl::EffectiveButtonWidth() const {
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const int inner = height() - 2 * frame;
    return m_buttonWidth >= 0 ? m_buttonWidth : inner * 8 / 10;
}

QRect CFileEditCtrl::ButtonRect() const {
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const QRect inner = rect().adjusted(frame, frame, -frame, -frame);
    const int width = qMin(EffectiveButtonWidth(), inner.width());
    if (m_flags & FILEEDIT_LEFT_BUTTON)
        return QRect(inner.left(), inner.top(), width, inner.height());
    return QRect(inner.right() - width + 1, inner.top(), width, inner.height());
}

void CFileEditCtrl::UpdateFrame() {
    const int width = EffectiveButtonWidth() + 2;
    if (m_flags & FILEEDIT_LEFT_BUTTON)
        setTextMargins(width, 0, 0, 0);
    else
        setTextMargins(0, 0, width, 0);
    update();
}

void CFileEditCtrl::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    UpdateFrame();
}

bool CFileEditCtrl::DrawnFlat() const {
    return (m_flags & FILEEDIT_FLAT) && !m_hovered && !hasFocus();
}

int CFileEditCtrl::ButtonState() const {
    int state = !isEnabled() ? BUTTON_DISABLED : (m_buttonDown ? BUTTON_PRESSED : BUTTON_NORMAL);
    if (DrawnFlat())
        state += BUTTON_FLAT;
    return state;
}

// --- drawing ---------------------------------------------------------------------------------

void CFileEditCtrl::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    QPainter painter(this);
    if (DrawnFlat()) {
        // Flat look at rest: the frame is covered with the window colour.
        const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
        const QColor base = palette().color(QPalette::Base);
        const QRect r = rect();
        painter.fillRect(QRect(r.left(), r.top(), r.width(), frame), base);
        painter.fillRect(QRect(r.left(), r.bottom() - frame + 1, r.width(), frame), base);
        painter.fillRect(QRect(r.left(), r.top(), frame, r.height()), base);
        painter.fillRect(QRect(r.right() - frame + 1, r.top(), frame, r.height()), base);
    }
    DrawButton(painter);
}

void CFileEditCtrl::DrawDots(QPainter& painter, const QRect& button, const QColor& color, int shift) const {
    const int w = button.width();
    const int spacing = w / 4;
    const int dot = w / 10;
    int x = w / 2 - spacing;
    if (w % 4 == 0)
        --x;
    const int y = button.height() / 2 - w / 20 + shift;
    x += shift;
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    for (int i = 0; i < 3; ++i) {
        const QPoint at = button.topLeft() + QPoint(x + i * spacing, y);
        if (dot <= 2) {
            painter.fillRect(QRect(at, QSize(qMax(dot, 1), qMax(dot, 1))), color);
        } else {
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.drawEllipse(QRect(at, QSize(dot, dot)));
        }
    }
    painter.setBrush(Qt::NoBrush);
    painter.setRenderHint(QPainter::Antialiasing, false);
}

void CFileEditCtrl::DrawButton(QPainter& painter) const {
    const QRect button = ButtonRect();
    if (button.width() < 3 || button.height() < 3)
        return;
    const QPalette& pal = palette();
    const int state = ButtonState();
    painter.save();
    painter.fillRect(button, pal.color(QPalette::Button));
    const QRect r = button.adjusted(0, 0, -1, -1);
    if (state & BUTTON_PRESSED) {
        painter.setPen(pal.color(QPalette::Dark));
        painter.drawRect(r);
        DrawDots(painter, button, pal.color(QPalette::ButtonText), 1);
    } else {
        if (state & BUTTON_FLAT) {
            painter.setPen(pal.color(QPalette::Base));
            painter.drawRect(r);
        } else {
            // Raised edge: light and midlight at the top left, shadow and dark at the bottom right.
            edgepaint::DrawRaised(painter, r, pal);
        }
        if (state & BUTTON_DISABLED) {
            DrawDots(painter, button.translated(1, 1), pal.color(QPalette::Light), 0);
            DrawDots(painter, button, pal.color(QPalette::Dark), 0);
        } else {
            QColor dots = pal.color(QPalette::ButtonText);
            if ((state & BUTTON_FLAT) && (m_flags & FILEEDIT_GREY_DOTS)) {
                const int grey = (30 * dots.red() + 59 * dots.green() + 11 * dots.blue()) / 100;
                dots = QColor(grey, grey, grey);
                if (grey < 64) // near-black text: the grey of its weight would still read black
                    dots = pal.color(QPalette::Dark);
            }
            DrawDots(painter, button, dots, 0);
        }
    }
    painter.restore();
}

// --- mouse, keyboard, focus ------------------------------------------------------------------

void CFileEditCtrl::SetPressed(bool pressed) {
    if (pressed != m_buttonDown) {
        m_buttonDown = pressed;
        update(ButtonRect());
    }
}

void CFileEditCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && ButtonRect().contains(event->position().toPoint())) {
        setFocus(Qt::MouseFocusReason);
        m_buttonHeld = true;
        SetPressed(true);
        event->accept();
        return;
    }
    QLineEdit::mousePressEvent(event);
}

void CFileEditCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && ButtonRect().contains(event->position().toPoint())) {
        mousePressEvent(event);
        return;
    }
    QLineEdit::mouseDoubleClickEvent(event);
}

void CFileEditCtrl::mouseMoveEvent(QMouseEvent* event) {
    const bool overButton = ButtonRect().contains(event->position().toPoint());
    setCursor(overButton ? Qt::ArrowCursor : Qt::IBeamCursor);
    if (m_buttonHeld) {
        SetPressed(overButton);
        event->accept();
        return;
    }
    QLineEdit::mouseMoveEvent(event);
}

void CFileEditCtrl::mouseReleaseEvent(QMouseEvent* event) {
    if (m_buttonHeld && event->button() == Qt::LeftButton) {
        m_buttonHeld = false;
        const bool overButton = ButtonRect().contains(event->position().toPoint());
        SetPressed(false);
        event->accept();
        if (overButton)
            Browse();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

void CFileEditCtrl::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Period && (event->modifiers() & Qt::ControlModifier)) {
        event->accept();
        Browse();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void CFileEditCtrl::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    selectAll();
    update();
}

void CFileEditCtrl::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    update();
}

void CFileEditCtrl::enterEvent(QEnterEvent* event) {
    m_hovered = true;
    if (m_flags & FILEEDIT_FLAT)
        update();
    QLineEdit::enterEvent(event);
}

void CFileEditCtrl::leaveEvent(QEvent* event) {
    m_hovered = false;
    if (m_flags & FILEEDIT_FLAT)
        update();
    QLineEdit::leaveEvent(event);
}

void CFileEditCtrl::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange)
        update();
    QLineEdit::changeEvent(event);
}

bool CFileEditCtrl::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QString tip;
        const bool overButton = ButtonRect().contains(help->pos());
        if (overButton && (m_flags & FILEEDIT_BUTTON_TIP))
            tip = QStringLiteral("Browse");
        else if (!overButton && (m_flags & FILEEDIT_TEXT_TIP))
            tip = m_textTip;
        if (tip.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), tip, this, overButton ? ButtonRect() : rect());
        }
        return true;
    }
    return QLineEdit::event(event);
}

// --- paths -----------------------------------------------------------------------------------

QString CFileEditCtrl::ResolveLink(const QString& path) const {
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    const QString target = info.canonicalFilePath();
    return target.isEmpty() ? path : target;
}

void CFileEditCtrl::Parse() const {
    if (!m_textChanged)
        return;
    m_textChanged = false;
    m_baseFolder.clear();
    m_names.clear();
    m_folderPaths.clear();
    const QString all = text();
    int pos = 0;
    while (pos < all.size() && (all[pos] == kSeparator || all[pos].isSpace()))
        ++pos;
    if (pos >= all.size())
        return;
    QStringList entries;
    for (const QString& part : all.mid(pos).split(kSeparator)) {
        const QString entry = TrimRight(part.trimmed());
        if (!entry.isEmpty())
            entries.append(entry);
    }
    if (entries.isEmpty())
        return;
    if (m_flags & FILEEDIT_FOLDER) {
        QString folder = MakeAbsolute(entries.first());
        if (m_flags & FILEEDIT_SLASH) {
            if (!folder.endsWith(QLatin1Char('/')))
                folder += QLatin1Char('/');
        } else if (folder.size() > 1 && folder.endsWith(QLatin1Char('/'))) {
            folder.chop(1);
        }
        m_folderPaths.append(folder);
        return;
    }
    m_baseFolder = FolderOf(entries.first());
    AddName(NameOf(entries.first()));
    if (Multiple()) {
        for (int i = 1; i < entries.size(); ++i)
            AddName(entries[i]);
    }
}

void CFileEditCtrl::AddName(const QString& name) const {
    if ((m_flags & FILEEDIT_WILDCARDS) && HasWildcards(name)) {
        const QString pattern = IsAbsolute(name) ? name : m_baseFolder + name;
        const QString folder = FolderOf(pattern);
        QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
        const QStringList matches =
            dir.entryList(QStringList{NameOf(pattern)}, QDir::Files | QDir::System, QDir::Name);
        for (const QString& match : matches) {
            QString found = folder + match;
            if (!m_baseFolder.isEmpty() && found.startsWith(m_baseFolder))
                found = found.mid(m_baseFolder.size());
            m_names.append(found);
            if (!Multiple())
                break;
        }
        return;
    }
    QString added = name;
    if (!KeepLinks()) {
        const QString full = IsAbsolute(name) ? name : m_baseFolder + name;
        const QString resolved = ResolveLink(full);
        if (resolved != full) {
            added = resolved;
            if (!m_baseFolder.isEmpty() && added.startsWith(m_baseFolder))
                added = added.mid(m_baseFolder.size());
        }
    }
    m_names.append(added);
}

QString CFileEditCtrl::FullPath(const QString& name) const {
    QString path;
    if (name.isEmpty())
        path = m_baseFolder;
    else if (IsAbsolute(name))
        path = name;
    else
        path = m_baseFolder + name;
    path = MakeAbsolute(path);
    if (!KeepLinks())
        path = ResolveLink(path);
    return path;
}

int CFileEditCtrl::GetStartPosition() const {
    Parse();
    return (m_flags & FILEEDIT_FOLDER) ? (m_folderPaths.isEmpty() ? 0 : 1) : (m_names.isEmpty() ? 0 : 1);
}

QString CFileEditCtrl::GetNextPathName(int& position) const {
    Parse();
    const int index = position - 1;
    const QStringList& list = (m_flags & FILEEDIT_FOLDER) ? m_folderPaths : m_names;
    if (index < 0 || index >= list.size()) {
        position = 0;
        return {};
    }
    position = index + 1 < list.size() ? index + 2 : 0;
    return (m_flags & FILEEDIT_FOLDER) ? list[index] : FullPath(list[index]);
}

QStringList CFileEditCtrl::GetPaths() const {
    QStringList paths;
    int position = GetStartPosition();
    while (position != 0)
        paths.append(GetNextPathName(position));
    return paths;
}

QString CFileEditCtrl::FirstPath() const {
    int position = GetStartPosition();
    return position ? GetNextPathName(position) : QString();
}

QString CFileEditCtrl::ValidationMessage() const {
    const QStringList paths = GetPaths();
    if (paths.isEmpty())
        return QStringLiteral("Enter an existing file.");
    const bool folderMode = m_flags & FILEEDIT_FOLDER;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.exists())
            return QStringLiteral("%1 does not exist.").arg(path);
        if (folderMode && !info.isDir())
            return QStringLiteral("%1 is not a folder.").arg(path);
        if (!folderMode && info.isDir())
            return QStringLiteral("%1 is not a file.").arg(path);
    }
    return {};
}

bool CFileEditCtrl::Validate() {
    const QString message = ValidationMessage();
    if (message.isEmpty())
        return true;
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), message, QMessageBox::Ok,
                    window());
    box.exec();
    setFocus(Qt::OtherFocusReason);
    return false;
}

// --- browsing --------------------------------------------------------------------------------

void CFileEditCtrl::Browse() {
    bool cancel = false;
    emit browseStarting(this, &cancel);
    if (cancel)
        return;
    if (m_flags & FILEEDIT_FOLDER)
        BrowseForFolder();
    else
        BrowseForFile();
}

void CFileEditCtrl::BrowseForFile() {
    CFECFileDialog* dialog = m_fileDialog;
    if (!dialog)
        return;
    const QString first = FirstPath();
    QString startFolder;
    QString startName;
    if (!first.isEmpty()) {
        const QFileInfo info(first);
        if (info.isFile())
            startName = info.fileName();
        startFolder = NearestExistingFolder(info.isDir() ? first : FolderOf(first));
    }
    if (!startFolder.isEmpty())
        dialog->setDirectory(startFolder);
    dialog->selectFile(startName);
    const int result = dialog->exec();
    bool chosen = false;
    if (result == QDialog::Accepted) {
        const QStringList files = dialog->selectedFiles();
        if (!files.isEmpty()) {
            QString text = files.first();
            for (int i = 1; i < files.size(); ++i)
                text += QStringLiteral("; ") + QFileInfo(files[i]).fileName();
            setText(text);
            chosen = true;
        }
    }
    setFocus(Qt::OtherFocusReason);
    if (chosen)
        emit browseDone(this);
}

void CFileEditCtrl::BrowseForFolder() {
    QFileDialog dialog(this, QStringLiteral("Browse for Folder"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("OK"));
    QString first = FirstPath();
    if (first.size() > 1 && first.endsWith(QLatin1Char('/')))
        first.chop(1);
    if (!first.isEmpty()) {
        const QString existing = NearestExistingFolder(first);
        if (!existing.isEmpty())
            dialog.setDirectory(existing);
    }
    m_folderDialog = &dialog;
    const int result = dialog.exec();
    m_folderDialog = nullptr;
    bool chosen = false;
    if (result == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        QString folder = dialog.selectedFiles().first();
        if ((m_flags & FILEEDIT_SLASH) && !folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        setText(folder);
        chosen = true;
    }
    setFocus(Qt::OtherFocusReason);
    if (chosen)
        emit browseDone(this);
}

// --- drops -----------------------------------------------------------------------------------

void CFileEditCtrl::DropPaths(const QStringList& dropped) {
    if (dropped.isEmpty())
        return;
    QStringList paths = dropped;
    if ((m_flags & FILEEDIT_FOLDER) || !Multiple())
        paths = paths.mid(0, 1);
    const bool resolve = (m_flags & FILEEDIT_FILE) && !KeepLinks();
    QString result;
    QString firstFolder;
    for (int i = 0; i < paths.size(); ++i) {
        QString path = resolve ? ResolveLink(paths[i]) : paths[i];
        if (i == 0) {
            result = path;
            firstFolder = FolderOf(path);
            continue;
        }
        if (!firstFolder.isEmpty() && path.startsWith(firstFolder))
            path = path.mid(firstFolder.size());
        result += QStringLiteral("; ") + path;
    }
    setText(result);
    emit filesDropped(this);
}

void CFileEditCtrl::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        QLineEdit::dragEnterEvent(event);
}

void CFileEditCtrl::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        QLineEdit::dragMoveEvent(event);
}

void CFileEditCtrl::dropEvent(QDropEvent* event) {
    if (!event->mimeData()->hasUrls()) {
        QLineEdit::dropEvent(event);
        return;
    }
    m_buttonHeld = false;
    SetPressed(false);
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    event->acceptProposedAction();
    DropPaths(paths);
}
