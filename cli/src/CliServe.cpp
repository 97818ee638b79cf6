// vandrel-cli serve: the service (service/) with the station run by vandrel-cli's own job run.
#include "CliServe.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>

#include "Cli.h"
#include "CliExitStatus.h"
#include "CliLine.h"
#include "CliOptions.h"
#include "ServePipe.h"
#include "line/RecordStore.h"
#include "service/StationService.h"

namespace {

// The label the station gives a port (docs/JSON.md: "port").
std::string LabelOf(const TS_CLI_PORT& port) {
    switch (port.Choice) {
    case ECliPortChoice::Com:
        return "COM" + std::to_string(port.ComNumber);
    case ECliPortChoice::Usb:
        return port.Path.empty() ? "usb" : port.Path;
    default:
        return port.Path;
    }
}

// Runs the station with a job as `--job FILE --json run` does, on a thread of its own; its JSON
// Lines go through a pipe to a reader thread that hands them to the service. The station's own
// writer thread and event queue stand between the handsets and the pipe, so the service never
// holds up a handset.
class CCliStationRunner final : public IStationRunner {
public:
    explicit CCliStationRunner(const TS_CLI_OPTIONS& base) : m_base(base) {}
    ~CCliStationRunner() override {
        Stop();
        Wait();
    }

    std::string Start(const TS_SERVICE_START& start, std::function<void(const std::string&)> lines,
                      std::function<void(int, const std::string&)> ended) override {
        std::lock_guard lock(m_mutex);
        if (m_running) {
            return "a job runs on the station: stop it first";
        }
        if (m_thread.joinable()) {
            m_thread.join();
        }
        TS_CLI_OPTIONS o = m_base;
        o.Command = ECliCommand::Run;
        o.Line.JobPath = start.JobPath;
        o.Json = true;
        o.Watch = start.Watch;
        // the store and pool lines are the terminal's: what the run writes on stderr is its errors
        o.Quiet = true;
        o.Ports.clear();
        for (const std::string& label : start.Ports) {
            const auto it = std::find_if(m_base.Ports.begin(), m_base.Ports.end(),
                                         [&](const TS_CLI_PORT& p) { return LabelOf(p) == label; });
            if (it == m_base.Ports.end()) {
                return "'" + label + "' is not one of this station's ports";
            }
            o.Ports.push_back(*it);
        }
        TS_SERVE_PIPE pipe;
        if (!OpenServePipe(pipe)) {
            return "cannot make the station's pipe";
        }
        std::FILE* out = pipe.Writer;
        std::FILE* err = OpenScratchFile();
        if (!err) {
            CloseServePipeReader(pipe.Reader);
            std::fclose(out);
            return "cannot make the station's output";
        }
        m_signals = std::make_unique<CStopSignals>();
        m_running = true;
        m_thread = std::thread(
            [this, o, out, err, fd = pipe.Reader, lines = std::move(lines), ended = std::move(ended)] {
                std::thread reader([fd, &lines] {
                    std::string pending;
                    char buffer[65536];
                    for (long n; (n = ReadServePipe(fd, buffer, sizeof buffer)) > 0;) {
                        pending.append(buffer, static_cast<std::size_t>(n));
                        std::size_t start = 0;
                        for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos;
                             start = nl + 1) {
                            lines(pending.substr(start, nl - start));
                        }
                        pending.erase(0, start);
                    }
                    CloseServePipeReader(fd);
                });
                const int status =
                    RunCatching([&] { return RunLineCommand(o, *m_signals, out, err, false); }, err);
                std::fclose(out);
                reader.join();
                std::string errors;
                std::rewind(err);
                char buffer[4096];
                for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, err)) > 0;) {
                    errors.append(buffer, n);
                }
                std::fclose(err);
                ended(status, errors);
                std::lock_guard done(m_mutex);
                m_running = false;
                m_ended.notify_all();
            });
        return {};
    }

    void Stop() override {
        std::lock_guard lock(m_mutex);
        if (m_running && m_signals) {
            m_signals->RequestStop(SIGTERM);
        }
    }

    void Wait() override {
        std::unique_lock lock(m_mutex);
        m_ended.wait(lock, [this] { return !m_running; });
        if (m_thread.joinable()) {
            std::thread thread = std::move(m_thread);
            lock.unlock();
            thread.join();
        }
    }

private:
    const TS_CLI_OPTIONS m_base;
    std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_running = false;
    std::unique_ptr<CStopSignals> m_signals;
    std::thread m_thread;
};

} // namespace

int ParseServeOption(const std::string& name, const std::optional<std::string>& inlineValue,
                     const std::vector<std::string>& args, std::size_t& i, TS_CLI_OPTIONS& o,
                     std::string& error) {
    if (o.Command != ECliCommand::Serve ||
        (name != "--listen" && name != "--jobs" && name != "--tokens" && name != "--allow-origin")) {
        return 0;
    }
    std::string value;
    if (inlineValue) {
        value = *inlineValue;
    } else if (i + 1 < args.size()) {
        value = args[++i];
    }
    if (value.empty()) {
        error = name + " needs a value";
        return -1;
    }
    TS_CLI_SERVE_OPTIONS& s = o.Serve;
    if (name == "--listen") {
        s.Listen = value;
    } else if (name == "--jobs") {
        s.JobsDir = value;
    } else if (name == "--tokens") {
        s.Tokens = value;
    } else {
        if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0) {
            error = "--allow-origin takes an origin (https://mes.example:8443), not '" + value + "'";
            return -1;
        }
        s.AllowedOrigins.push_back(value);
    }
    return 1;
}

bool FinishServeCommand(const std::vector<std::string>& positional, TS_CLI_OPTIONS& o, std::string& error) {
    if (!positional.empty()) {
        error = "unexpected argument '" + positional[0] + "'";
        return false;
    }
    if (o.Ports.empty()) {
        error = "serve needs the station's ports (--port PATH, --com N, --usb)";
        return false;
    }
    if (o.Line.JobPath.empty() && o.Serve.JobsDir.empty()) {
        error = "serve needs a job (--job FILE) or a jobs folder (--jobs DIR)";
        return false;
    }
    return true;
}

int RunServe(const TS_CLI_OPTIONS& o, CStopSignals& signals, std::FILE* out, std::FILE* err) {
    TS_SERVICE_CONFIG config;
    if (!o.Serve.Listen.empty()) {
        const std::string& listen = o.Serve.Listen;
        const std::size_t colon = listen.rfind(':');
        std::string host = colon == std::string::npos ? listen : listen.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        if (!host.empty()) {
            config.Host = host;
        }
        if (colon != std::string::npos) {
            const std::string port = listen.substr(colon + 1);
            char* end = nullptr;
            const long n = std::strtol(port.c_str(), &end, 10);
            if (port.empty() || *end != 0 || n < 0 || n > 65535) { // 0: any free port
                std::fprintf(err, "vandrel-cli: --listen takes ADDR:PORT (127.0.0.1:%d), not '%s'\n",
                             kServiceDefaultPort, listen.c_str());
                return EXIT_USAGE;
            }
            config.Port = static_cast<int>(n);
        }
    }
    config.JobsDir = o.Serve.JobsDir;
    config.TokenFile = o.Serve.Tokens;
    config.AllowedOrigins = o.Serve.AllowedOrigins;
    for (const TS_CLI_PORT& port : o.Ports) {
        config.Ports.push_back(LabelOf(port));
    }
    config.Store = o.Line.Store;
    config.StoreText = RedactStoreText(o.Line.Store.empty() ? "sqlite:" + DefaultStorePath() : o.Line.Store);

    CCliStationRunner runner(o);
    CStationService service(config, runner);
    std::string error;
    if (!service.Listen(error)) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (!o.Line.JobPath.empty()) {
        const std::string refused = service.StartJob({o.Line.JobPath, config.Ports, true});
        if (!refused.empty()) {
            std::fprintf(err, "vandrel-cli: %s\n", refused.c_str());
            return EXIT_USAGE;
        }
    }
    std::fprintf(out, "vandrel-cli serve: the station is at %s\n", service.Url().c_str());
    std::fflush(out);

    std::mutex mutex;
    std::condition_variable stopped;
    bool stop = false;
    signals.SetInterruptHook([&] {
        runner.Stop(); // every handset stops at a block boundary, now
        std::lock_guard lock(mutex);
        stop = true;
        stopped.notify_all();
    });
    std::thread serving([&service] { service.Run(); });
    {
        std::unique_lock lock(mutex);
        stopped.wait(lock, [&] { return stop || signals.Stopped(); });
    }
    signals.SetInterruptHook({});
    // the records are completed before the program ends; the API answers until then
    service.StopStation();
    service.Stop();
    serving.join();
    std::fprintf(out, "vandrel-cli serve: stopped\n");
    std::fflush(out);
    return signals.ExitStatus();
}
