// Opens every widget page of the gallery and saves its picture in the screenshots folder.
#include "Gallery.h"
#include "Screenshot.h"

#include <QFileInfo>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>

class GalleryTest : public QObject {
    Q_OBJECT
private slots:
    void savesOnePicturePerWidget() {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QTemporaryDir samples;
        std::vector<GalleryPage> pages = BuildGalleryPages(samples.path());
        QVERIFY(pages.size() >= 8);
        for (GalleryPage& page : pages) {
            QVERIFY(QTest::qWaitForWindowExposed(page.window.get()));
            const QString path = testsupport::SaveScreenshot(page.window.get(), page.name);
            QVERIFY2(QFileInfo(path).size() > 1000, qPrintable(path));
        }
    }
};

QTEST_MAIN(GalleryTest)
#include "GalleryTest.moc"
