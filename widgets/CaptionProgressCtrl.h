// A progress bar that keeps its own range, position and step and writes a centred text over the
// bar: its caption when one is set, otherwise the percentage. The text is drawn twice, clipped to
// the bar and to the rest, so that it changes colour where the bar ends. Vertical bars show no
// text. The bar repaints only when its length in pixels changes.
//
// Colours: an invalid QColor is the default. The bar's default is the palette's highlight, the
// rest's the palette's base (window) colour, and the text's default is the colour of the part it
// is not on: the rest's colour over the bar, the bar's colour over the rest.
#pragma once

#include <QColor>
#include <QFrame>
#include <QString>

class CCaptionProgressCtrl : public QFrame {
    Q_OBJECT
public:
    explicit CCaptionProgressCtrl(QWidget* parent = nullptr);

    // 16-bit range (as the platform's short range message) and 32-bit range.
    void SetRange(short lower, short upper);
    void SetRange32(int lower, int upper);
    void GetRange(int& lower, int& upper) const;
    // The lower bound when which is true, else the upper bound.
    int GetRangeLimit(bool which) const { return which ? m_lower : m_upper; }

    // Each returns the previous position. The position is not clamped to the range.
    int SetPos(int position);
    int OffsetPos(int delta);
    int StepIt();
    int SetStep(int step);
    int GetPos() const { return m_position; }
    int GetStep() const { return m_step; }

    // Each returns the previous colour and repaints.
    QColor SetBarColor(const QColor& color);
    QColor SetBkColor(const QColor& color);
    QColor SetTextColor(const QColor& color);
    QColor GetBarColor() const { return m_barColor; }
    QColor GetBkColor() const { return m_bkColor; }
    QColor GetTextColor() const { return m_textColor; }

    // Text over horizontal bars on or off; repaints when it changes.
    void ShowText(bool show);
    bool IsTextShown() const { return m_showText; }

    // The caption: replaces the percentage while it is not empty.
    void SetWindowText(const QString& text);
    QString GetWindowText() const { return m_caption; }
    // The text the bar shows now (caption or percentage); empty for a vertical bar.
    QString ShownText() const;

    void SetVertical(bool vertical);
    bool IsVertical() const { return m_vertical; }

    // Number of times the bar was painted; for tests of the repaint rule.
    int PaintCount() const { return m_paintCount; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    double Fraction() const;
    int BarLength() const;
    QColor ResolvedBar() const;
    QColor ResolvedBk() const;

    QColor m_textColor;
    int m_position = 0;
    int m_step = 1;
    int m_upper = 100;
    int m_lower = 0;
    QString m_caption;
    bool m_showText = true;
    int m_drawnLength = -1;
    QColor m_barColor;
    QColor m_bkColor;
    bool m_vertical = false;
    int m_paintCount = 0;
};
