// Shows every widget of the program in its states and saves one picture per widget:
//
//     vandrel-widget-gallery [folder]      (default: ./screenshots)
//
// Runs headless with QT_QPA_PLATFORM=offscreen.
#include "Gallery.h"

#include <QApplication>
#include <QDir>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vandrel"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(folder);
    QTemporaryDir samples;
    std::vector<GalleryPage> pages = BuildGalleryPages(samples.path());
    int failures = 0;
    for (GalleryPage& page : pages) {
        const QString path = folder + QLatin1Char('/') + page.name + QStringLiteral(".png");
        if (page.window->grab().save(path)) {
            std::printf("%s\n", qPrintable(path));
        } else {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
