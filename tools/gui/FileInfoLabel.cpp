#include "FileInfoLabel.h"

#include <QPainter>

namespace {

const QString kEllipsis = QString(QChar(0x2026));

} // namespace

CFileInfoLabel::CFileInfoLabel(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CFileInfoLabel::SetText(const QString& text) {
    if (text == m_text) {
        return;
    }
    m_text = text;
    setToolTip(text); // the whole text, when the label shows it shortened
    repaint();
}

void CFileInfoLabel::SetPathEllipsis(bool on) {
    if (on != m_pathEllipsis) {
        m_pathEllipsis = on;
        update();
    }
}

QString CFileInfoLabel::Shorten(const QString& text, const QFontMetrics& metrics, int width,
                                bool pathEllipsis) {
    if (metrics.horizontalAdvance(text) <= width) {
        return text;
    }
    if (!pathEllipsis) {
        return metrics.elidedText(text, Qt::ElideRight, width);
    }
    const qsizetype slash = text.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) {
        return metrics.elidedText(text, Qt::ElideMiddle, width);
    }
    // Keep the file name whole and as much of the folders before it as fits.
    const QString tail = text.mid(slash);
    if (metrics.horizontalAdvance(kEllipsis + tail) > width) {
        return metrics.elidedText(text, Qt::ElideLeft, width); // as much of the end as fits
    }
    qsizetype low = 0;      // fits
    qsizetype high = slash; // does not fit (the whole text did not)
    while (high - low > 1) {
        const qsizetype mid = (low + high) / 2;
        if (metrics.horizontalAdvance(text.left(mid) + kEllipsis + tail) <= width) {
            low = mid;
        } else {
            high = mid;
        }
    }
    return text.left(low) + kEllipsis + tail;
}

QString CFileInfoLabel::ShownText() const {
    return Shorten(m_text, fontMetrics(), contentsRect().width(), m_pathEllipsis);
}

QSize CFileInfoLabel::sizeHint() const {
    return {200, fontMetrics().height() + 4};
}

QSize CFileInfoLabel::minimumSizeHint() const {
    return {40, fontMetrics().height() + 4};
}

void CFileInfoLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    painter.setFont(font());
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, ShownText());
}
