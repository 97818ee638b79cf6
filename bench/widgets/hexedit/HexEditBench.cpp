// Hex view with 16 MiB of data: taking the data, painting a screenful, moving, copying.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>

#include "HexEditBase.h"
#include "HexLayout.h"

namespace {

constexpr qint64 kSixteenMiB = 16 * 1024 * 1024;

const QByteArray& BigData() {
    static const QByteArray data = [] {
        QByteArray bytes(kSixteenMiB, '\0');
        for (qint64 i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 7) ^ (i >> 9));
        return bytes;
    }();
    return data;
}

// A control set up as the memory dump page sets it, 800 x 600, with 16 MiB of data.
struct Fixture {
    CHexEditBase edit;
    Fixture() {
        edit.SetAddressDigits(8);
        edit.SetShowAddress(true);
        edit.SetBytesPerRow(8, true);
        edit.SetShowAscii(true);
        edit.resize(800, 600);
        edit.show();
        QCoreApplication::processEvents();
        edit.SetData(BigData());
        edit.SetHighlight(100, kSixteenMiB - 100);
        edit.SetSelection(200, kSixteenMiB / 2);
    }
};

void BM_SetData16MiB(benchmark::State& state) {
    CHexEditBase edit;
    edit.resize(800, 600);
    for (auto _ : state)
        edit.SetData(BigData(), false);
    state.SetBytesProcessed(state.iterations() * kSixteenMiB);
}
BENCHMARK(BM_SetData16MiB)->Unit(benchmark::kMillisecond);

void BM_PaintScreenful(benchmark::State& state) {
    Fixture f;
    f.edit.ScrollTo(f.edit.Layout().vScrollLimit / 2, 0);
    QCoreApplication::processEvents();
    QImage image(f.edit.viewport()->size(), QImage::Format_RGB32);
    state.counters["rows"] = f.edit.Layout().visibleLines;
    for (auto _ : state) {
        QPainter painter(&image);
        f.edit.Render(painter);
    }
}
BENCHMARK(BM_PaintScreenful)->Unit(benchmark::kMicrosecond);

void BM_PageDownThroughTheData(benchmark::State& state) {
    Fixture f;
    for (auto _ : state) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
        QApplication::sendEvent(&f.edit, &key);
        if (f.edit.GetCaret().byte == kSixteenMiB - 1)
            f.edit.SetCaret(0, false);
    }
}
BENCHMARK(BM_PageDownThroughTheData)->Unit(benchmark::kMicrosecond);

void BM_CopyText1MiB(benchmark::State& state) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(BigData().constData());
    for (auto _ : state)
        benchmark::DoNotOptimize(hexedit::FormatCopyText(data, 3, 3 + 1024 * 1024 - 1, 16));
    state.SetBytesProcessed(state.iterations() * 1024 * 1024);
}
BENCHMARK(BM_CopyText1MiB)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
