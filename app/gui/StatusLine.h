// CStatusLine: the main window's status line: one line, cut with an ellipsis when it is too long;
// the whole text is then its tooltip.
#pragma once

#include <QLabel>

class CStatusLine : public QLabel {
public:
    explicit CStatusLine(QWidget* parent) : QLabel(parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};
