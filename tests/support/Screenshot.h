// Saves a picture of a widget in the build's screenshots folder, for a person to look at.
#pragma once

#include <QDir>
#include <QPixmap>
#include <QString>
#include <QWidget>

namespace testsupport {

// Grabs the widget (shown or not) and writes <build>/screenshots/<name>.png. Returns the path.
inline QString SaveScreenshot(QWidget* widget, const QString& name) {
    QDir().mkpath(QStringLiteral(VANDREL_SCREENSHOT_DIR));
    const QString path =
        QStringLiteral(VANDREL_SCREENSHOT_DIR) + QLatin1Char('/') + name + QStringLiteral(".png");
    widget->grab().save(path);
    return path;
}

} // namespace testsupport
