// The attributes of one cell of the flash file list (CXListCtrl). Every new cell starts with
// these defaults; an invalid colour stands for the list's default colour.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <QtGlobal>

struct XListCell {
    int enabled = 1;         // read on the row's first cell: 0 greys the row and ignores clicks
    int bold = 0;            // draw the text in a bold version of the list's font
    int image = -1;          // index into the list's small image list; -1: no image
    QString tip;             // tooltip of the cell
    int combo = 0;           // the cell shows one string of a list (display only)
    QStringList comboList;   // the strings of a combo cell
    int comboHeight = 10;    // drop-down height kept for a caller that edits the cell
    int comboSelection = 0;  // index of the shown string
    QColor textColor;        // invalid: window text
    QColor backgroundColor;  // invalid: window
    int progress = 0;        // nonzero: the cell is drawn as a progress bar
    int progressPercent = 0; // 0 to 100
    QString progressFormat;  // format of the progress text; empty means "%d%%"
    int progressText = 1;    // nonzero: the percentage is drawn over the bar
    int check = -1;          // -1: no check box; 0: unchecked; 1: checked
    quint32 rowData = 0;     // caller value, kept on the row's first cell
};
