// Flash file compression: CompressFlashFile against srec_cat rewriting the same file as S3 records.
//
// The input is made at bench time: an S0 header, 64 data bytes a record from 0x00006000 on with a
// gap every MiB, and an S7 end record. 32 MiB of data is about 75 MB of text.
//
//   bench_compress                      both benchmarks
//   bench_compress --benchmark_filter=Memory
//
// BM_CompressVsSrecCat times both tools on the same file in one run (srec_cat as a child process,
// its output to a file beside ours): MB/s of source text for each and the ratio.
// BM_CompressMemory compresses 8 MiB and 32 MiB of data and reports how far our peak resident
// memory rose during the call (VmHWM after resetting it through /proc/self/clear_refs, in a child
// process for each size).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "download/CompressFlashFile.h"

namespace {

namespace fs = std::filesystem;

fs::path WorkDir() {
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "vandrel-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        return fs::path(pattern);
    }();
    return dir;
}

// Writes an .m0 of dataBytes bytes of data; returns its path. Made once per size.
std::string MakeSource(std::size_t dataBytes) {
    const fs::path path = WorkDir() / ("vbench_" + std::to_string(dataBytes >> 20) + "MiB.m0");
    if (fs::exists(path)) {
        return path.string();
    }
    static const char hex[] = "0123456789ABCDEF";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs("S00C00007662656E63682E6D30B2\n", f);
    uint32_t seed = 1;
    uint32_t address = 0x00006000;
    char line[200];
    for (std::size_t done = 0; done < dataBytes; done += 64) {
        if (done && done % (1u << 20) == 0) {
            address += 0x100; // a gap: a new block
        }
        const unsigned count = 64 + 5;
        unsigned sum =
            count + (address >> 24) + (address >> 16 & 0xFF) + (address >> 8 & 0xFF) + (address & 0xFF);
        int n = std::snprintf(line, sizeof line, "S3%02X%08X", count, address);
        for (int i = 0; i < 64; ++i) {
            seed = seed * 1103515245u + 12345u;
            const unsigned b = seed >> 24;
            sum += b;
            line[n++] = hex[b >> 4];
            line[n++] = hex[b & 15];
        }
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "%02X\n", ~sum & 0xFF);
        std::fwrite(line, 1, static_cast<std::size_t>(n), f);
        address += 64;
    }
    std::fputs("S705000060009A\n", f);
    std::fclose(f);
    return path.string();
}

long StatusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return -1;
}

bool ResetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs srec_cat on the source; returns its wall time in seconds (negative on failure).
double RunSrecCat(const std::string& source, long& maxRssKiB) {
    const std::string out = (WorkDir() / "srec_cat_out.s3").string();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("srec_cat", "srec_cat", source.c_str(), "-o", out.c_str(), "-motorola", "-address-length=4",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    const double seconds = Seconds(start);
    maxRssKiB = usage.ru_maxrss;
    fs::remove(out);
    return seconds;
}

void BM_CompressVsSrecCat(benchmark::State& state) {
    const std::string source = MakeSource(static_cast<std::size_t>(state.range(0)) << 20);
    const double megabytes = static_cast<double>(fs::file_size(source)) / 1e6;
    for (auto _ : state) {
        std::string out, error;
        const auto start = std::chrono::steady_clock::now();
        if (!CompressFlashFile(source, out, {}, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        const double ours = Seconds(start);
        long srecRss = 0;
        const double theirs = RunSrecCat(source, srecRss);
        if (theirs < 0) {
            state.SkipWithError("srec_cat did not run (package srecord)");
            return;
        }
        state.SetIterationTime(ours);
        state.counters["source_MB"] = megabytes;
        state.counters["ours_MBps"] = megabytes / ours;
        state.counters["srec_cat_MBps"] = megabytes / theirs;
        state.counters["ratio"] = theirs / ours;
        state.counters["srec_cat_maxrss_KiB"] = static_cast<double>(srecRss);
        fs::remove(out);
    }
}
BENCHMARK(BM_CompressVsSrecCat)->Arg(32)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Each size is compressed in a child process of its own, so that one run's freed buffers do not
// hide the next one's: the child reports its resident memory before the call and its peak after.
void BM_CompressMemory(benchmark::State& state) {
    const std::string source = MakeSource(static_cast<std::size_t>(state.range(0)) << 20);
    for (auto _ : state) {
        int fds[2];
        if (::pipe(fds) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            long figures[2] = {StatusKiB("VmRSS"), -1};
            ResetPeak();
            std::string out, error;
            if (CompressFlashFile(source, out, {}, &error)) {
                figures[1] = StatusKiB("VmHWM");
                fs::remove(out);
            }
            const ssize_t written = ::write(fds[1], figures, sizeof figures);
            ::_exit(written == sizeof figures ? 0 : 1);
        }
        ::close(fds[1]);
        long figures[2] = {-1, -1};
        const ssize_t got = ::read(fds[0], figures, sizeof figures);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (got != sizeof figures || figures[1] < 0) {
            state.SkipWithError("the compression in the child failed");
            return;
        }
        state.counters["source_MB"] = static_cast<double>(fs::file_size(source)) / 1e6;
        state.counters["rss_before_KiB"] = static_cast<double>(figures[0]);
        state.counters["peak_KiB"] = static_cast<double>(figures[1]);
        state.counters["peak_rise_KiB"] = static_cast<double>(figures[1] - figures[0]);
    }
}
BENCHMARK(BM_CompressMemory)->Arg(8)->Arg(32)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(WorkDir(), ec);
    return 0;
}
