// CHexEditBase: a view of a block of bytes in three columns (addresses, hexadecimal values,
// printable characters) with a caret on single hex digits, mouse and keyboard selection,
// auto-scroll, typing over the bytes, copy and paste, a context menu and a highlighted range.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <vector>

#include "HexLayout.h"

class QMenu;
class QMimeData;

class CHexEditBase : public QAbstractScrollArea {
    Q_OBJECT

public:
    // MIME type of the binary clipboard record "BinaryData": a 4-byte little-endian count, then
    // the bytes.
    static const QString kBinaryDataMimeType;
    // Interval of the auto-scroll timer, in milliseconds.
    static constexpr int kAutoScrollIntervalMs = 5;

    explicit CHexEditBase(QWidget* parent = nullptr);
    ~CHexEditBase() override;

    // Data. SetData copies the bytes (the caller may free them at once); SetDataPointer shows the
    // caller's buffer in place, and typing and paste write into it. Both discard the selection
    // and the highlight and put the caret on byte 0.
    void SetData(const std::uint8_t* bytes, qint64 length, bool repaint = true);
    void SetData(const QByteArray& bytes, bool repaint = true);
    void SetDataPointer(std::uint8_t* bytes, qint64 length, bool repaint = true);
    // Copies min(capacity, length) bytes to destination; returns the length.
    qint64 GetData(std::uint8_t* destination, qint64 capacity) const;
    qint64 GetDataLength() const { return m_Length; }
    const std::uint8_t* GetDataPointer() const { return m_Data; }

    // Address printed for the first byte.
    void SetBaseAddress(std::uint32_t address, bool repaint = true);
    std::uint32_t GetBaseAddress() const { return m_BaseAddress; }
    // The label of a row in the address column: base address plus the row's first byte index.
    QString RowAddressText(qint64 row);

    // Layout settings.
    void SetBytesPerRow(int count, bool fitToWidth, bool repaint = true);
    void SetAddressDigits(int digits, bool repaint = true);
    void SetShowAddress(bool on, bool repaint = true);
    void SetShowAscii(bool on, bool repaint = true);
    void SetReadOnly(bool on, bool repaint = true);
    // Off: every byte in one row, no margins and no scroll bars.
    void SetMultiLine(bool on, bool repaint = true);
    int GetBytesPerRowSetting() const { return m_BytesPerRow; }
    bool GetFitToWidth() const { return m_FitToWidth; }
    int GetAddressDigits() const { return m_AddressDigits; }
    bool GetShowAddress() const { return m_ShowAddress; }
    bool GetShowAscii() const { return m_ShowAscii; }
    bool IsReadOnly() const { return m_ReadOnly; }
    bool IsMultiLine() const { return m_MultiLine; }

    // Ranges. An end at or past the length becomes the last byte; a negative end clears the
    // range. With makeVisible the range is scrolled into view. Get* return false and -1, -1 when
    // there is no range.
    void SetSelection(qint64 first, qint64 last, bool makeVisible = false, bool repaint = true);
    bool GetSelection(qint64& first, qint64& last) const;
    void SetHighlight(qint64 first, qint64 last, bool makeVisible = false, bool repaint = true);
    bool GetHighlight(qint64& first, qint64& last) const;

    // Colours. An invalid QColor restores the default of that colour.
    void SetAddressColors(const QColor& background, const QColor& text, bool repaint = true);
    void SetAsciiColors(const QColor& background, const QColor& text, bool repaint = true);
    void SetHighlightColors(const QColor& frame, const QColor& background, const QColor& text,
                            bool repaint = true);
    void SetHexColors(const QColor& background, const QColor& text, bool repaint = true);
    void SetInactiveSelectionColors(const QColor& background, const QColor& text, bool repaint = true);
    void SetSelectionColors(const QColor& text, const QColor& background, bool repaint = true);
    void SetBackgroundColor(const QColor& colour, bool repaint = true);

    // Font: only a font whose characters the view draws all advance alike is taken (the control
    // keeps its own copy); anything else leaves the current font. Returns whether it was taken.
    bool SetHexFont(const QFont& font, bool repaint = true);
    // Whether every character the view draws (printable ASCII: the hex digits, the letters, space
    // and the dot of the character column) advances by the same width in this font. The font's
    // own fixed-pitch flag is no guide: some monospaced fonts carry wider glyphs elsewhere.
    static bool IsEvenPitch(const QFont& font);
    QFont GetHexFont() const { return m_Font; }

    // Caret position (byte index and digit); moving it clears no selection.
    hexedit::TS_HEX_CARET GetCaret() const { return m_Caret; }
    void SetCaret(qint64 byte, bool secondDigit, bool makeVisible = true);
    // The caret rectangle in viewport coordinates; empty while the caret is not shown.
    QRect CaretRect() const;

    // View state.
    qint64 GetFirstVisibleRow() const { return m_FirstRow; }
    int GetHorizontalOffset() const { return m_HOffset; }
    void ScrollTo(qint64 firstRow, int hOffset);
    void MakeVisible(qint64 first, qint64 last);
    // The layout in effect (computed on demand).
    const hexedit::TS_HEX_LAYOUT& Layout();
    // Maps a viewport point to the caret position it designates; needs data.
    hexedit::TS_HEX_CARET HitTest(QPoint viewportPoint);

    // Auto-scroll. The control's own 5 ms timer calls AutoScrollTick; with external ticks on, the
    // timer never starts and whoever set it (a test) calls AutoScrollTick itself.
    void SetExternalAutoScrollTicks(bool on);
    bool IsAutoScrolling() const { return m_AutoScroll.active; }
    int AutoScrollTicksPerStep() const { return m_AutoScroll.ticksPerStep; }

    // The context menu as it would open now, after the hook has run. The caller owns it.
    QMenu* CreateContextMenu();

    // Paints the whole viewport (paintEvent draws it into the back buffer, then copies that).
    void Render(QPainter& painter);

public slots:
    void Copy();
    void Paste();
    void SelectAll();
    void AutoScrollTick();

signals:
    // A typed digit or a paste of at least one byte changed the data.
    void EditChanged();

protected:
    // Lets a derived control add its items to the context menu before it opens.
    virtual void OnPrepareContextMenu(QMenu* menu);

    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct AutoScrollState {
        bool active = false;
        int direction = 0;    // -1 up, +1 down
        int ticksPerStep = 0; // countdown reload value
        int countdown = 0;
        QPoint lastPoint; // viewport coordinates
    };

    void ReleaseData();
    void MarkLayoutDirty();
    void EnsureLayout();
    void ScheduleScrollBarUpdate();
    void UpdateScrollBars();
    void ClampView();
    void PlaceCaret();
    void RestartCaretBlink();
    void LayoutChanged(bool repaint);
    void Repaint(bool now);
    bool StoreRange(qint64 first, qint64 last, qint64& storedFirst, qint64& storedLast) const;
    void ResetRanges();
    void SyncScrollBarValues();
    void MoveCaretTo(qint64 digitPosition, bool extend);
    void SelectFromAnchorTo(qint64 byte);
    void UpdateDragFromPoint(QPoint point);
    void StartOrUpdateAutoScroll(int direction, int distance);
    void StopAutoScroll();
    void TypeDigit(int value);
    void Notify();
    bool ClipboardHasBinaryData() const;
    void UseFont(const QFont& font);

    QColor SelectionText() const;
    QColor SelectionBackground() const;
    QColor InactiveSelectionText() const;
    QColor InactiveSelectionBackground() const;

    void PaintAddressColumn(QPainter& p);
    void PaintHexColumn(QPainter& p);
    void PaintAsciiColumn(QPainter& p);

    // Data.
    std::uint8_t* m_Data = nullptr;
    qint64 m_Length = 0;
    std::vector<std::uint8_t> m_Owned; // backs m_Data when the control owns the bytes
    std::uint32_t m_BaseAddress = 0;

    // Layout settings.
    int m_BytesPerRow = 16;
    bool m_FitToWidth = false;
    std::uint8_t m_AddressDigits = 8;
    bool m_ShowAddress = false;
    bool m_ShowAscii = false;
    bool m_ReadOnly = false;
    bool m_MultiLine = true;

    // Layout results.
    bool m_LayoutDirty = true;
    hexedit::TS_HEX_LAYOUT m_Layout;
    int m_CharWidth = 1;
    int m_LineHeight = 1;
    int m_Ascent = 0;

    // View state.
    qint64 m_FirstRow = 0;
    int m_HOffset = 0;
    bool m_ScrollBarUpdatePending = false;
    bool m_UpdatingScrollBars = false;

    // Caret.
    hexedit::TS_HEX_CARET m_Caret;
    bool m_CaretShown = false;  // the caret exists (focus, visible row)
    bool m_CaretBlinkOn = true; // phase of the blink
    QRect m_CaretRect;
    QTimer m_CaretBlinkTimer;

    // Ranges.
    qint64 m_SelFirst = -1;
    qint64 m_SelLast = -1;
    qint64 m_Anchor = -1;
    qint64 m_MovingEnd = -1;
    qint64 m_HighFirst = -1;
    qint64 m_HighLast = -1;

    // Mouse.
    QRect m_DragRect; // empty when none
    AutoScrollState m_AutoScroll;
    QTimer m_AutoScrollTimer;
    bool m_ExternalTicks = false;
    int m_WheelRemainderY = 0;
    int m_WheelRemainderX = 0;

    // Colours (invalid = default).
    QColor m_AddressBack, m_AddressText;
    QColor m_AsciiBack, m_AsciiText;
    QColor m_HighlightFrame, m_HighlightBack, m_HighlightText;
    QColor m_HexBack, m_HexText;
    QColor m_InactiveSelBack, m_InactiveSelText;
    QColor m_SelText, m_SelBack;
    QColor m_Background;

    QFont m_Font;
    QImage m_BackBuffer;
};
