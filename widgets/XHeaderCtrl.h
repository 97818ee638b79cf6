// The column header of the flash file list: drawn by itself, with an optional check box picture
// per column (state 0: none, 1: not all rows checked, 2: all rows checked).
#pragma once

#include <QColor>
#include <QHeaderView>
#include <QVector>

class CXHeaderCtrl : public QHeaderView {
    Q_OBJECT
public:
    // Property numbers of SetHeaderProperty().
    enum { HEADER_MARGIN = 1, HEADER_RESERVED_SIZES = 2, HEADER_EXTRA_WIDTH = 3, HEADER_RESERVED = 4 };
    // Side of the check box pictures drawn in the header items.
    static constexpr int kCheckPictureSize = 13;

    explicit CXHeaderCtrl(QWidget* parent = nullptr);

    // Check box state of a column (0, 1 or 2); -1 for a column out of range.
    int GetCheckState(int column) const;
    void SetCheckState(int column, int state);

    // Item margin (pixels on both sides of an item's content); 6 unless changed.
    int GetItemMargin() const { return m_margin; }
    // Changes one drawing setting by number (see the enumeration) and repaints.
    void SetHeaderProperty(int property, int value);
    bool IsDoubleBuffered() const { return m_doubleBuffer; }

    // Colours of the 3D edges, taken from the palette at construction and on palette changes.
    QColor HighlightColor() const { return m_highlight; }
    QColor ShadowColor() const { return m_shadow; }

    QSize sizeHint() const override;

    // Draws the check box picture used in header items and list cells alike.
    static void DrawCheckPicture(QPainter& painter, const QRect& box, bool checked, const QPalette& palette,
                                 bool enabled = true);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void TakeColors();
    void DrawItem(QPainter& painter, int logical, QRect rect);

    bool m_doubleBuffer = true;
    int m_margin = 6;
    int m_reservedWidth = 8;
    int m_reservedHeight = 8;
    bool m_extraWidth = false;
    int m_reserved = 0;
    QColor m_highlight;
    QColor m_shadow;
    QColor m_face;
    QColor m_text;
    QVector<int> m_checkStates;
};
