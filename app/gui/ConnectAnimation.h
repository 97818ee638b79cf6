// The connect dialog's animation (control 1097, animation 147): a PC and a handset joined by a
// cable along which pulses run while the handset's power light blinks. Its frames are painted
// here, so it needs no artwork file.
//
// Used as the animation control was: Open(IDR_CONNECT_ANIMATION), Play(0, -1, -1) to loop over
// every frame without end, Close() to stop and forget it.
#pragma once

#include <QTimer>
#include <QWidget>

class CConnectAnimation : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFrameCount = 16;
    static constexpr int kFrameMs = 90;

    explicit CConnectAnimation(QWidget* parent = nullptr);

    // Only animation 147 exists; false for any other number.
    bool Open(int resourceId);
    // Plays frames from..to (to = -1: the last), repeat times (-1: without end). False when
    // nothing is open.
    bool Play(int from, int to, int repeat);
    void Stop();
    void Close();

    bool IsOpen() const { return m_open; }
    bool IsPlaying() const { return m_timer.isActive(); }
    int CurrentFrame() const { return m_frame; }
    // Paints one frame into a picture of the control's size (tests and the artwork check).
    QImage Frame(int frame) const;

    QSize sizeHint() const override { return {128, 60}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Next();
    void PaintFrame(QPainter& painter, int frame) const;

    QTimer m_timer;
    bool m_open = false;
    int m_frame = 0;
    int m_from = 0;
    int m_to = kFrameCount - 1;
    int m_repeat = -1;
};
