// Draws the program's icons and bitmaps and writes them as PNG files:
//
//     vandrel-make-artwork <res folder>
//
// writes <res folder>/icons/*.png and <res folder>/bitmaps/*.png. The committed pictures are the
// output of this program; run it again (target "artwork") after changing a drawing.
//
// One palette for everything; every picture is drawn on a 32-unit grid, with the main edges on
// even units so that they fall on whole pixels at 16 px too.
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

namespace palette {
const QColor kBlueTop(0x4C, 0x8D, 0xF6);
const QColor kBlueBottom(0x1F, 0x5B, 0xD1);
const QColor kBlueDark(0x17, 0x45, 0xA3);
const QColor kGreenTop(0x3B, 0xC4, 0x84);
const QColor kGreenBottom(0x16, 0x8F, 0x5A);
const QColor kSlateTop(0x94, 0xA3, 0xB8);
const QColor kSlateBottom(0x5B, 0x6B, 0x82);
const QColor kAmberTop(0xFB, 0xB0, 0x3B);
const QColor kAmberBottom(0xE0, 0x7A, 0x10);
const QColor kAmber(0xFF, 0xB5, 0x2E);
const QColor kInk(0x1E, 0x29, 0x3B);
const QColor kPaper(0xFF, 0xFF, 0xFF);
const QColor kPaperEdge(0x7C, 0x8A, 0x9E);
const QColor kLine(0x2F, 0x6F, 0xDE);
} // namespace palette

using Drawing = std::function<void(QPainter&, int size)>;

// A rounded tile with a top-to-bottom gradient and a thin darker rim.
void Tile(QPainter& p, const QColor& top, const QColor& bottom) {
    QLinearGradient g(0, 0, 0, 32);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    // The rim is one pixel up to 64 px and grows slowly above.
    const qreal pixels = p.device()->width();
    const qreal rim = std::max(1.0, pixels / 64.0) * 32.0 / pixels;
    p.setPen(QPen(bottom.darker(125), rim));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1.0, 1.0, 30.0, 30.0), 7, 7);
    // A soft highlight on the upper half.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 34));
    p.drawRoundedRect(QRectF(2.0, 2.0, 28.0, 13.0), 6, 6);
}

void DownArrow(QPainter& p, qreal cx, qreal top, qreal bottom, qreal half, const QColor& color) {
    QPainterPath path;
    const qreal shaft = half * 0.45;
    const qreal headTop = bottom - half * 1.2;
    path.moveTo(cx - shaft, top);
    path.lineTo(cx + shaft, top);
    path.lineTo(cx + shaft, headTop);
    path.lineTo(cx + half, headTop);
    path.lineTo(cx, bottom);
    path.lineTo(cx - half, headTop);
    path.lineTo(cx - shaft, headTop);
    path.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPath(path);
}

// The program: a handset on a blue tile, an amber arrow coming down into its screen.
void Program(QPainter& p, int) {
    using namespace palette;
    Tile(p, kBlueTop, kBlueBottom);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawRoundedRect(QRectF(10.6, 5.0, 12.0, 24.0), 3, 3); // shadow
    p.setBrush(kPaper);
    p.drawRoundedRect(QRectF(10.0, 4.0, 12.0, 24.0), 3, 3);
    p.setBrush(kBlueDark);
    p.drawRect(QRectF(12.0, 7.0, 8.0, 13.0));
    DownArrow(p, 16.0, 8.0, 18.5, 3.4, kAmber);
    p.setBrush(kBlueBottom);
    p.drawEllipse(QPointF(16.0, 24.0), 1.6, 1.6);
}

// The connect toggle: a plug and a socket, joined (in) or apart (out).
void Connector(QPainter& p, bool joined) {
    using namespace palette;
    if (joined)
        Tile(p, kGreenTop, kGreenBottom);
    else
        Tile(p, kSlateTop, kSlateBottom);
    const qreal plugRight = joined ? 16.0 : 13.0;
    const qreal socketLeft = joined ? 18.0 : 20.0;
    p.setPen(Qt::NoPen);
    p.setBrush(kPaper);
    // Cables.
    p.drawRect(QRectF(3.0, 15.0, plugRight - 8.0, 2.0));
    p.drawRect(QRectF(socketLeft + 6.0, 15.0, 32.0 - socketLeft - 9.0, 2.0));
    // Plug body and prongs.
    p.drawRoundedRect(QRectF(plugRight - 8.0, 10.0, 8.0, 12.0), 2, 2);
    p.drawRect(QRectF(plugRight, 12.0, 4.0, 2.0));
    p.drawRect(QRectF(plugRight, 18.0, 4.0, 2.0));
    // Socket.
    p.drawRoundedRect(QRectF(socketLeft, 8.0, 6.0, 16.0), 2, 2);
    if (!joined) {
        // A small gap mark between the two halves.
        p.setBrush(kAmber);
        p.drawEllipse(QPointF(18.5, 16.0), 1.3, 1.3);
    } else {
        p.setBrush(kGreenBottom);
        p.drawRect(QRectF(socketLeft + 1.0, 12.0, 1.0, 2.0));
        p.drawRect(QRectF(socketLeft + 1.0, 18.0, 1.0, 2.0));
    }
}

// Output mode "to the screen": a monitor with rows of hex digits.
void DumpToScreen(QPainter& p, int) {
    using namespace palette;
    Tile(p, kBlueTop, kBlueBottom);
    p.setPen(Qt::NoPen);
    p.setBrush(kPaper);
    p.drawRoundedRect(QRectF(5.0, 6.0, 22.0, 16.0), 2, 2);
    p.drawRect(QRectF(14.0, 22.0, 4.0, 3.0));
    p.drawRoundedRect(QRectF(10.0, 24.0, 12.0, 3.0), 1, 1);
    p.setBrush(kBlueDark);
    p.drawRect(QRectF(7.0, 8.0, 18.0, 12.0));
    p.setBrush(kAmber);
    p.drawRect(QRectF(9.0, 10.0, 4.0, 2.0));
    p.setBrush(QColor(255, 255, 255, 215));
    p.drawRect(QRectF(15.0, 10.0, 8.0, 2.0));
    p.drawRect(QRectF(9.0, 13.0, 14.0, 2.0));
    p.drawRect(QRectF(9.0, 16.0, 10.0, 2.0));
}

// Output mode "to a file": a page with an arrow going into it.
void DumpToFile(QPainter& p, int) {
    using namespace palette;
    Tile(p, kAmberTop, kAmberBottom);
    QPainterPath page;
    page.moveTo(8.0, 4.0);
    page.lineTo(19.0, 4.0);
    page.lineTo(24.0, 9.0);
    page.lineTo(24.0, 28.0);
    page.lineTo(8.0, 28.0);
    page.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kPaper);
    p.drawPath(page);
    p.setBrush(QColor(0xE2, 0xE8, 0xF0));
    QPainterPath fold;
    fold.moveTo(19.0, 4.0);
    fold.lineTo(19.0, 9.0);
    fold.lineTo(24.0, 9.0);
    fold.closeSubpath();
    p.drawPath(fold);
    DownArrow(p, 16.0, 9.0, 22.0, 4.5, kBlueBottom);
    p.setBrush(kBlueBottom);
    p.drawRect(QRectF(11.0, 24.0, 10.0, 2.0));
}

// Image 0 of the file list: an S-record file, a page with lines of records.
void FileImage(QPainter& p, int size) {
    using namespace palette;
    p.setRenderHint(QPainter::Antialiasing, size > 16);
    const qreal u = 2.0; // one pixel at 16 px
    QPainterPath page;
    page.moveTo(3 * u, 1 * u);
    page.lineTo(10 * u, 1 * u);
    page.lineTo(13 * u, 4 * u);
    page.lineTo(13 * u, 15 * u);
    page.lineTo(3 * u, 15 * u);
    page.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kPaper);
    p.drawPath(page);
    // Outline, one pixel wide, inside the shape.
    p.setBrush(kPaperEdge);
    p.drawRect(QRectF(3 * u, 1 * u, 7 * u, u));
    p.drawRect(QRectF(3 * u, 1 * u, u, 14 * u));
    p.drawRect(QRectF(3 * u, 14 * u, 10 * u, u));
    p.drawRect(QRectF(12 * u, 4 * u, u, 11 * u));
    p.drawRect(QRectF(10 * u, 1 * u, u, 4 * u));
    p.drawRect(QRectF(10 * u, 4 * u, 3 * u, u));
    p.drawRect(QRectF(11 * u, 2 * u, u, u));
    // Record lines: a blue type field and the data.
    p.setBrush(kAmberBottom);
    p.drawRect(QRectF(5 * u, 6 * u, 2 * u, u));
    p.drawRect(QRectF(5 * u, 8 * u, 2 * u, u));
    p.drawRect(QRectF(5 * u, 10 * u, 2 * u, u));
    p.setBrush(kLine);
    p.drawRect(QRectF(8 * u, 6 * u, 3 * u, u));
    p.drawRect(QRectF(8 * u, 8 * u, 3 * u, u));
    p.drawRect(QRectF(8 * u, 10 * u, 2 * u, u));
    p.drawRect(QRectF(5 * u, 12 * u, 4 * u, u));
}

// --- 16 px: drawn pixel by pixel, so that every edge is sharp ---------------------------------

void Px(QPainter& p, int x, int y, int w, int h, const QColor& c) {
    p.fillRect(QRect(x, y, w, h), c);
}

void Tile16(QPainter& p, const QColor& top, const QColor& bottom) {
    QLinearGradient g(0, 1, 0, 15);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(QRect(1, 1, 14, 14), g);
    const QColor rim = bottom.darker(125);
    Px(p, 1, 0, 14, 1, rim);
    Px(p, 1, 15, 14, 1, rim);
    Px(p, 0, 1, 1, 14, rim);
    Px(p, 15, 1, 1, 14, rim);
    for (QPoint corner : {QPoint(1, 1), QPoint(14, 1), QPoint(1, 14), QPoint(14, 14)})
        Px(p, corner.x(), corner.y(), 1, 1, rim);
}

void Program16(QPainter& p) {
    using namespace palette;
    Tile16(p, kBlueTop, kBlueBottom);
    Px(p, 5, 2, 6, 12, kPaper);
    Px(p, 6, 4, 4, 6, kBlueDark);
    Px(p, 7, 4, 2, 3, kAmber);
    Px(p, 6, 7, 4, 1, kAmber);
    Px(p, 7, 8, 2, 1, kAmber);
    Px(p, 7, 11, 2, 1, kBlueBottom);
}

void Connector16(QPainter& p, bool joined) {
    using namespace palette;
    if (joined)
        Tile16(p, kGreenTop, kGreenBottom);
    else
        Tile16(p, kSlateTop, kSlateBottom);
    if (joined) {
        Px(p, 1, 7, 2, 2, kPaper); // cable
        Px(p, 3, 5, 4, 6, kPaper); // plug
        Px(p, 7, 6, 2, 1, kPaper); // prongs
        Px(p, 7, 9, 2, 1, kPaper);
        Px(p, 9, 4, 3, 8, kPaper);  // socket
        Px(p, 12, 7, 3, 2, kPaper); // cable
    } else {
        Px(p, 1, 7, 1, 2, kPaper);
        Px(p, 2, 5, 4, 6, kPaper);
        Px(p, 6, 6, 2, 1, kPaper);
        Px(p, 6, 9, 2, 1, kPaper);
        Px(p, 8, 7, 1, 2, kAmber);
        Px(p, 10, 4, 3, 8, kPaper);
        Px(p, 13, 7, 2, 2, kPaper);
    }
}

void DumpToScreen16(QPainter& p) {
    using namespace palette;
    Tile16(p, kBlueTop, kBlueBottom);
    Px(p, 2, 3, 12, 8, kPaper);
    Px(p, 3, 4, 10, 6, kBlueDark);
    Px(p, 4, 5, 2, 1, kAmber);
    Px(p, 7, 5, 5, 1, kPaper);
    Px(p, 4, 7, 8, 1, kPaper);
    Px(p, 7, 11, 2, 1, kPaper);
    Px(p, 5, 12, 6, 1, kPaper);
}

void DumpToFile16(QPainter& p) {
    using namespace palette;
    Tile16(p, kAmberTop, kAmberBottom);
    Px(p, 4, 2, 6, 12, kPaper);
    Px(p, 10, 4, 2, 10, kPaper);
    Px(p, 10, 2, 1, 2, QColor(0xE2, 0xE8, 0xF0)); // the folded corner
    Px(p, 11, 3, 1, 1, QColor(0xE2, 0xE8, 0xF0));
    Px(p, 7, 4, 2, 4, kBlueBottom);
    Px(p, 6, 8, 4, 1, kBlueBottom);
    Px(p, 7, 9, 2, 1, kBlueBottom);
    Px(p, 5, 11, 6, 1, kBlueBottom);
}

bool Save(const QImage& image, const QString& folder, const QString& name);

bool Write(const QString& folder, const QString& name, int size, const Drawing& draw, int canvas = 0) {
    const int pixels = canvas ? canvas : size;
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.scale(pixels / 32.0, pixels / 32.0);
        draw(p, size);
    }
    return Save(image, folder, name);
}

// A picture drawn at 16 px, pixel by pixel.
bool Write16(const QString& folder, const QString& name, const std::function<void(QPainter&)>& draw) {
    QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        draw(p);
    }
    return Save(image, folder, name);
}

bool Save(const QImage& image, const QString& folder, const QString& name) {
    const QString path = folder + QLatin1Char('/') + name;
    if (!image.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <res folder>\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString icons = root + QStringLiteral("/icons");
    const QString bitmaps = root + QStringLiteral("/bitmaps");
    QDir().mkpath(icons);
    QDir().mkpath(bitmaps);
    bool ok = true;
    ok &= Write16(icons, QStringLiteral("program-16.png"), Program16);
    for (int size : {24, 32, 48, 64, 128, 256})
        ok &= Write(icons, QStringLiteral("program-%1.png").arg(size), size, Program);
    for (int size : {32, 48, 64})
        ok &= Write(icons, QStringLiteral("information-%1.png").arg(size), size, Program);
    ok &= Write16(icons, QStringLiteral("connect-in-16.png"), [](QPainter& p) { Connector16(p, true); });
    ok &= Write16(icons, QStringLiteral("connect-out-16.png"), [](QPainter& p) { Connector16(p, false); });
    ok &= Write16(icons, QStringLiteral("dump-screen-16.png"), DumpToScreen16);
    ok &= Write16(icons, QStringLiteral("dump-file-16.png"), DumpToFile16);
    for (int size : {24, 32, 48}) {
        ok &= Write(icons, QStringLiteral("connect-in-%1.png").arg(size), size,
                    [](QPainter& p, int) { Connector(p, true); });
        ok &= Write(icons, QStringLiteral("connect-out-%1.png").arg(size), size,
                    [](QPainter& p, int) { Connector(p, false); });
        ok &= Write(icons, QStringLiteral("dump-screen-%1.png").arg(size), size, DumpToScreen);
        ok &= Write(icons, QStringLiteral("dump-file-%1.png").arg(size), size, DumpToFile);
    }
    ok &= Write(bitmaps, QStringLiteral("file-list.png"), 16, FileImage);
    ok &= Write(bitmaps, QStringLiteral("file-list@2x.png"), 32, FileImage);
    return ok ? 0 : 1;
}
