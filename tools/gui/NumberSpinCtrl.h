// CNumberSpinCtrl: a pair of up and down arrows beside an edit (its buddy) that steps a real
// number over a range: minimum, maximum and step are real numbers, and the control writes the
// buddy's text itself, with a chosen number of decimals (-1: the shortest form, as "%g").
//
// Like the platform's up-down control it also keeps an integer position 0..N, N = |(max - min) /
// step| capped at 32767, that follows the value: 0 at or below the minimum, N at or above the
// maximum, otherwise (value - min) / (max - min) x N + 0.5, truncated.
//
// An arrow (clicked, held down, or the Up and Down keys in the buddy) adds the step times the
// number of steps to the number in the buddy; going down the result is raised to at least the
// minimum, going up it is cut to at most the maximum.
#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;
class QToolButton;

class CNumberSpinCtrl : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxIntRange = 32767;

    explicit CNumberSpinCtrl(QWidget* parent = nullptr);

    // The edit whose number the arrows change. The control does not own it.
    void SetBuddy(QLineEdit* buddy);
    QLineEdit* GetBuddy() const { return m_buddy; }

    // Stores the range and the step and sets the integer range 0..N.
    void SetRangeAndDelta(double minimum, double maximum, double delta);
    void GetRangeAndDelta(double& minimum, double& maximum, double& delta) const;
    double GetMinimum() const { return m_min; }
    double GetMaximum() const { return m_max; }
    double GetDelta() const { return m_delta; }

    // Writes the value into the buddy and moves the integer position.
    void SetPos(double value);
    // The number in the buddy (0 when it holds none).
    double GetPos() const;

    // Decimals of the buddy's text: -1 for the shortest form ("%g"), else that many ("%.Nf", or
    // "%.Ne" when "%g" would use an exponent).
    void SetDecimalPlaces(int places);
    int GetDecimalPlaces() const { return m_decimals; }
    // The text a value is shown as.
    QString FormatValue(double value) const;

    // The integer side, as the platform control keeps it.
    int GetIntRange() const { return m_intRange; }
    int GetIntPos() const { return m_intPos; }
    // The integer position a value maps to.
    int IntPosOf(double value) const;

    // One arrow press: steps > 0 up, < 0 down. Returns the new value (also written to the buddy).
    double Step(int steps);

    QSize sizeHint() const override;

signals:
    // After an arrow changed the buddy's value.
    void ValueStepped(double value);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_buddy = nullptr;
    QToolButton* m_up;
    QToolButton* m_down;
    double m_min = 0.0;
    double m_max = 100.0;
    double m_delta = 1.0;
    int m_decimals = -1;
    int m_intRange = 100;
    int m_intPos = 0;
};
