// CCaptionLine: the caption line at the top of the main window, painted embossed in the caption
// font.
#pragma once

#include <QString>
#include <QWidget>

class CCaptionLine : public QWidget {
public:
    CCaptionLine(const QString& text, const QFont& font, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
};
