// A bevel line with a label: a 2-pixel 3D line through the middle of the control (horizontal
// when it is wider than tall, else vertical) and its window text over the line at the left,
// centre or right. In a vertical line the text reads from top to bottom, or from bottom to top
// when it begins with "~" (which is not drawn).
#pragma once

#include <QWidget>

class cdxCRotBevelLine : public QWidget {
    Q_OBJECT
public:
    explicit cdxCRotBevelLine(const QString& text = QString(), QWidget* parent = nullptr);

    void SetText(const QString& text);
    QString GetText() const { return m_text; }
    // Qt::AlignLeft, Qt::AlignHCenter or Qt::AlignRight (the static control's alignment).
    void SetAlignment(Qt::Alignment alignment);
    Qt::Alignment GetAlignment() const { return m_alignment; }
    // Sunken: shadow above and highlight below; raised (the default): the reverse.
    void SetSunken(bool sunken);
    bool IsSunken() const { return m_sunken; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    Qt::Alignment m_alignment = Qt::AlignLeft;
    bool m_sunken = false;
};
