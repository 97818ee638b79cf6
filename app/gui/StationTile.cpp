#include "StationTile.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTextLayout>
#include <QVBoxLayout>

#include <algorithm>

#include "download/ElapsedTimer.h"

namespace {

// The text as it wraps at the width, its first two lines only: the second cut short with an
// ellipsis when more follows. Wrapping breaks at words, so a character budget of two widths can
// still take three lines; laying the text out is what tells.
QString FirstTwoLines(const QString& text, const QFont& font, int width) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    QString lines;
    for (int n = 0; n < 2; ++n) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(width);
        const bool last = n == 1 && line.textStart() + line.textLength() < text.size();
        const QString part = last ? QFontMetrics(font).elidedText(text.mid(line.textStart()).simplified(),
                                                                  Qt::ElideRight, width)
                                  : text.mid(line.textStart(), line.textLength()).trimmed();
        lines += (n == 0 ? QString() : QStringLiteral("\n")) + part;
    }
    layout.endLayout();
    return lines;
}

struct TS_TILE_COLOURS {
    const char* back;
    const char* border;
    const char* text;
};

// Strong colours for the two results, quiet ones for the rest.
TS_TILE_COLOURS ColoursOf(TE_TILE_LOOK look) {
    switch (look) {
    case TILE_WAITING:
        return {"#dde6ef", "#7d93a8", "#23384d"};
    case TILE_BUSY:
        return {"#ffe9a8", "#d19a00", "#4a3600"};
    case TILE_PASS:
        return {"#12872b", "#0b5c1c", "#ffffff"};
    case TILE_FAIL:
        return {"#c8101a", "#7e0a10", "#ffffff"};
    case TILE_STOPPED:
        return {"#6e6e6e", "#444444", "#ffffff"};
    case TILE_IDLE:
    default:
        return {"#e4e4e4", "#a0a0a0", "#505050"};
    }
}

// The largest pixel size, up to limit, at which text fits width.
int FittingSize(QFont font, const QString& text, int width, int limit) {
    int size = limit;
    for (; size > 9; --size) {
        font.setPixelSize(size);
        if (QFontMetrics(font).horizontalAdvance(text) <= width) {
            break;
        }
    }
    return size;
}

} // namespace

CStationTile::CStationTile(const QString& label, QWidget* parent)
    : QFrame(parent), m_label(label), m_name(new QLabel(label, this)), m_state(new QLabel(this)),
      m_bar(new QProgressBar(this)), m_elapsed(new QLabel(this)), m_reason(new QLabel(this)) {
    setObjectName(QStringLiteral("stationTile"));
    setMinimumSize(180, 150);
    m_name->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_state->setAlignment(Qt::AlignCenter);
    m_bar->setRange(0, 100);
    m_bar->setFormat(QStringLiteral("%p %"));
    m_bar->setAlignment(Qt::AlignCenter);
    m_elapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    QSizePolicy keepPlace = m_bar->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    m_bar->setSizePolicy(keepPlace);
    m_reason->setAlignment(Qt::AlignCenter);
    m_reason->setWordWrap(true);

    auto* top = new QHBoxLayout;
    top->addWidget(m_name, 1);
    top->addWidget(m_elapsed);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 6, 10, 8);
    layout->addLayout(top);
    layout->addWidget(m_state, 1);
    layout->addWidget(m_reason);
    layout->addWidget(m_bar);
    SetState(TILE_IDLE, QStringLiteral("idle"));
    SetElapsed(-1);
}

void CStationTile::SetState(TE_TILE_LOOK look, const QString& words) {
    m_look = look;
    m_state->setText(words);
    // a stopped job may have reported its last block in full: its bar would tell a wrong story
    m_bar->setVisible(look == TILE_BUSY || look == TILE_PASS || look == TILE_FAIL);
    ApplyLook();
    FitFonts();
}

void CStationTile::SetProgress(int percent) {
    m_bar->setValue(std::clamp(percent, 0, 100));
    m_bar->setTextVisible(percent >= 0);
}

void CStationTile::SetElapsed(qint64 seconds) {
    m_elapsed->setText(seconds < 0 ? QString() : QString::fromStdString(CElapsedTimer::Format(seconds)));
}

void CStationTile::SetReason(const QString& text) {
    m_reasonText = text;
    FitFonts(); // elides to the width
    m_reason->setToolTip(text);
}

QString CStationTile::StateText() const {
    return m_state->text();
}

int CStationTile::Progress() const {
    return m_bar->value();
}

QString CStationTile::ElapsedText() const {
    return m_elapsed->text();
}

void CStationTile::ApplyLook() {
    const TS_TILE_COLOURS c = ColoursOf(m_look);
    setStyleSheet(QStringLiteral("#stationTile { background: %1; border: 3px solid %2; border-radius: 8px; }"
                                 "#stationTile QLabel { color: %3; background: transparent; }")
                      .arg(QLatin1String(c.back), QLatin1String(c.border), QLatin1String(c.text)));
}

void CStationTile::FitFonts() {
    const int h = std::max(height(), minimumHeight());
    const int w = std::max(width(), minimumWidth()) - 24;
    QFont name = font();
    name.setBold(true);
    name.setPixelSize(std::clamp(h / 9, 13, 28));
    m_name->setFont(name);
    QFont small = font();
    small.setPixelSize(std::clamp(h / 12, 11, 20));
    m_elapsed->setFont(small);
    m_bar->setFont(small);
    m_bar->setFixedHeight(QFontMetrics(small).height() + 8);
    m_elapsed->setMinimumWidth(QFontMetrics(small).horizontalAdvance(QStringLiteral("00:00:00")) + 2);
    // the reason in the small size, on two lines at the most (cut short at the end of the second),
    // so that what went wrong stays readable from a step back
    QFont reason = small;
    reason.setBold(m_look == TILE_FAIL);
    const QFontMetrics metrics(reason);
    m_reason->setFont(reason);
    m_reason->setMaximumHeight(2 * metrics.lineSpacing() + 2);
    m_reason->setText(FirstTwoLines(m_reasonText, reason, w - 8));
    // the results as large as the tile allows; the words of the other states smaller
    QFont state = font();
    state.setBold(true);
    const bool result = m_look == TILE_PASS || m_look == TILE_FAIL;
    state.setPixelSize(
        FittingSize(state, m_state->text(), w, std::clamp(h / (result ? 3 : 7), 14, result ? 140 : 40)));
    m_state->setFont(state);
}

void CStationTile::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    FitFonts();
}

void CStationTile::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("Show &Log..."), this, &CStationTile::ShowLogRequested);
    menu.exec(event->globalPos());
}
