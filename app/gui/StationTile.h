// CStationTile: one port of the production station as an operator sees it from a few metres away:
// the port's name, the state in words on a colour (grey idle, blue-grey waiting, amber at work,
// green PASS, red FAIL), the progress of the phase with its percent, the elapsed time and, for a
// failure, the reason on one line. The texts grow with the tile. Its context menu offers the log
// of the handset it shows.
#pragma once

#include <QFrame>
#include <QString>

#include "app/StationModel.h" // TE_TILE_LOOK

class QLabel;
class QProgressBar;

class CStationTile : public QFrame {
    Q_OBJECT
public:
    explicit CStationTile(const QString& label, QWidget* parent = nullptr);

    void SetState(TE_TILE_LOOK look, const QString& words);
    // percent 0..100; -1 hides the bar's number
    void SetProgress(int percent);
    void SetElapsed(qint64 seconds);
    // The line under the state: the reason of a failure, or a hint.
    void SetReason(const QString& text);

    QString Label() const { return m_label; }
    TE_TILE_LOOK Look() const { return m_look; }
    QString StateText() const;
    QString ReasonText() const { return m_reasonText; }
    // The label that shows the reason as it fits the tile.
    const QLabel* ReasonLabel() const { return m_reason; }
    int Progress() const;
    QString ElapsedText() const;

signals:
    void ShowLogRequested();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void ApplyLook();
    void FitFonts();

    QString m_label;
    TE_TILE_LOOK m_look = TILE_IDLE;
    QString m_reasonText;
    QLabel* m_name;
    QLabel* m_state;
    QProgressBar* m_bar;
    QLabel* m_elapsed;
    QLabel* m_reason;
};
