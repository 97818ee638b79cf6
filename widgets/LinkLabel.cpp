#include "LinkLabel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QUrl>

namespace {

std::function<int(const QString&)>& Opener() {
    static std::function<int(const QString&)> opener;
    return opener;
}

} // namespace

void CLinkLabel::SetOpener(std::function<int(const QString&)> opener) {
    Opener() = std::move(opener);
}

CLinkLabel::CLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
    setMouseTracking(true);
    setAutoFillBackground(false);
    m_hoverTimer.setInterval(100);
    connect(&m_hoverTimer, &QTimer::timeout, this, &CLinkLabel::CheckHover);
    if (!text.isEmpty())
        m_url = text;
    setToolTip(m_url);
    ApplyLook();
    AutoSize();
}

void CLinkLabel::SetURL(const QString& url) {
    m_url = url;
    if (text().isEmpty())
        setText(url);
    setToolTip(url);
    AutoSize();
}

void CLinkLabel::SetLinkText(const QString& text) {
    setText(text.isEmpty() ? m_url : text);
    if (m_url.isEmpty()) {
        m_url = text;
        setToolTip(m_url);
    }
    AutoSize();
}

void CLinkLabel::SetColors(const QColor& link, const QColor& visited, const QColor& hover) {
    if (link.isValid())
        m_linkColor = link;
    if (visited.isValid())
        m_visitedColor = visited;
    if (hover.isValid())
        m_hoverColor = hover;
    ApplyLook();
}

void CLinkLabel::SetUnderline(int mode) {
    m_underline = mode;
    ApplyLook();
    AutoSize();
}

void CLinkLabel::SetAutoSize(bool autoSize) {
    m_autoSize = autoSize;
    AutoSize();
}

void CLinkLabel::SetVisited(bool visited) {
    m_visited = visited;
    ApplyLook();
}

QColor CLinkLabel::CurrentColor() const {
    if (m_hovered)
        return m_hoverColor;
    return m_visited ? m_visitedColor : m_linkColor;
}

void CLinkLabel::ApplyLook() {
    QFont f = font();
    f.setUnderline(m_underline == UNDERLINE_ALWAYS || (m_underline == UNDERLINE_HOVER && m_hovered));
    if (f != font())
        setFont(f);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, CurrentColor());
    setPalette(pal);
    update();
}

void CLinkLabel::AutoSize() {
    if (!m_autoSize)
        return;
    QFont underlined = font();
    underlined.setUnderline(true);
    const QFontMetrics fm(underlined);
    const int margin = 2 * (frameWidth() + this->margin());
    const QSize wanted(fm.horizontalAdvance(text()) + margin + 2, fm.height() + margin);
    const QRect old = geometry();
    QRect next(old.topLeft(), wanted);
    if (alignment() & Qt::AlignHCenter)
        next.moveLeft(old.left() + (old.width() - wanted.width()) / 2);
    else if (alignment() & Qt::AlignRight)
        next.moveLeft(old.right() - wanted.width() + 1);
    if (alignment() & Qt::AlignVCenter && old.height() > 0 && testAttribute(Qt::WA_Resized))
        next.moveTop(old.top() + (old.height() - wanted.height()) / 2);
    setMinimumSize(wanted);
    if (parentWidget() && !parentWidget()->layout())
        setGeometry(next);
    else
        resize(wanted);
}

void CLinkLabel::mouseMoveEvent(QMouseEvent* event) {
    if (!m_hovered) {
        m_hovered = true;
        ApplyLook();
        m_hoverTimer.start();
    }
    QLabel::mouseMoveEvent(event);
}

void CLinkLabel::CheckHover() {
    if (rect().contains(mapFromGlobal(QCursor::pos())) && underMouse())
        return;
    m_hoverTimer.stop();
    m_hovered = false;
    ApplyLook();
}

void CLinkLabel::leaveEvent(QEvent* event) {
    if (m_hovered) {
        m_hoverTimer.stop();
        m_hovered = false;
        ApplyLook();
    }
    QLabel::leaveEvent(event);
}

void CLinkLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OpenURL();
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

bool CLinkLabel::OpenURL() {
    const QString url = m_url.isEmpty() ? text() : m_url;
    int code = 0;
    if (Opener())
        code = Opener()(url);
    else
        code = QDesktopServices::openUrl(QUrl::fromUserInput(url)) ? kOpened : kNoAssociation;
    if (code > 32) {
        SetVisited(true);
        emit linkOpened(url);
        return true;
    }
    QApplication::beep();
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(),
                    QStringLiteral("Unable to open hyperlink:\n\n") + ErrorText(code), QMessageBox::Ok,
                    window());
    box.exec();
    return false;
}

QString CLinkLabel::ErrorText(int code) {
    switch (code) {
    case 0:
        return QStringLiteral("The operating system is out\nof memory or resources.");
    case 2:
        return QStringLiteral("The specified file was not found.");
    case 3:
        return QStringLiteral("The specified path was not found.");
    case 5:
        return QStringLiteral("The operating system denied\naccess to the specified file.");
    case 8:
        return QStringLiteral("There was not enough memory to complete the operation.");
    case 11:
        return QStringLiteral("The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).");
    case 26:
        return QStringLiteral("A sharing violation occurred. ");
    case 27:
        return QStringLiteral("The filename association is\nincomplete or invalid.");
    case 28:
        return QStringLiteral("The DDE transaction could not\nbe completed because the request timed out.");
    case 29:
        return QStringLiteral("The DDE transaction failed.");
    case 30:
        return QStringLiteral(
            "The DDE transaction could not\nbe completed because other DDE transactions\nwere "
            "being processed.");
    case 31:
        return QStringLiteral("There is no application associated\nwith the given filename extension.");
    case 32:
        return QStringLiteral("The specified dynamic-link library was not found.");
    default:
        return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
    }
}
