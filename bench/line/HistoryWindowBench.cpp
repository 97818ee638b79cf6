// The History window on a large store: the time from its making to the first page shown, and the
// time of each next page as the list is scrolled to its end (the logs are never read for a list).
//
//   QT_QPA_PLATFORM=offscreen history_window_bench sqlite:/tmp/year.db [PAGES]
#include <QApplication>
#include <QScrollBar>
#include <chrono>
#include <cstdio>

#include "LineHistoryDlg.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: history_window_bench STORE [PAGES]\n");
        return 2;
    }
    const int pages = argc > 2 ? std::atoi(argv[2]) : 20;
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::time_point from) {
        return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
    };
    const auto start = Clock::now();
    CLineHistoryDlg dlg(argv[1], QString());
    dlg.show();
    QApplication::processEvents();
    std::printf("open: %.1f ms, %d rows, %s\n", ms(start), dlg.Table()->rowCount(),
                dlg.StatusLabel()->text().toUtf8().constData());
    double worst = 0;
    for (int k = 0; k < pages; ++k) {
        const auto page = Clock::now();
        QScrollBar* bar = dlg.Table()->verticalScrollBar();
        bar->setValue(bar->maximum()); // scrolled to the end: the next page comes
        QApplication::processEvents();
        worst = std::max(worst, ms(page));
    }
    std::printf("scroll: %d pages, %d rows, slowest page %.1f ms\n", pages, dlg.Table()->rowCount(), worst);
    const auto open = Clock::now();
    dlg.OpenRow(dlg.Table()->rowCount() - 1);
    std::printf("open one record with its log: %.1f ms (%lld characters)\n", ms(open),
                static_cast<long long>(dlg.LogView()->toPlainText().size()));
    return 0;
}
