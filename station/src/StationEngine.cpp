#include "station/StationEngine.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "StationPort.h"
#include "UsbArrivals.h"
#include "download/CompressFlashFile.h"
#include "download/DownloadSession.h"
#include "download/FlashFile.h"
#include "platform/Files.h"
#include "station/LineHooks.h"
#include "station/SerialNames.h"
#include "tools/WrittenRanges.h"

namespace {

// Reads a prepared (.cp64) file once: its payload, whether it ends, and (keep) its data records.
bool ReadPrepared(const std::string& path, bool keep, TS_PREPARED_FILE& file, std::string& error) {
    TS_IMAGE_FILE_INFO info;
    const bool read = ReadImageFile(path, true, keep ? &file.Image : nullptr, info, error);
    file.Payload = info.payload;
    file.HasEndRecord = info.hasEndRecord;
    return read;
}

// The whole file as it is now; false when it does not read.
bool ReadAll(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    bytes = text.str();
    return static_cast<bool>(in) || in.eof();
}

// A private copy of bytes beside path (so that what is compressed is what was hashed); empty when
// it cannot be written.
std::string PrivateCopy(const std::string& path, const std::string& bytes) {
    static std::atomic<unsigned> counter{0};
    std::string name;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        name = path + ".pinned-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        fd = platform::OpenFile(name, platform::EFileOpen::CreateNew, 0600);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        return {};
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done != bytes.size()) {
        std::remove(name.c_str());
        return {};
    }
    return name;
}

} // namespace

const char* StationPhaseName(TE_STATION_PHASE phase) {
    switch (phase) {
    case STATION_PHASE_CONNECT:
        return "connect";
    case STATION_PHASE_WRITER:
        return "writer";
    case STATION_PHASE_COMPRESS:
        return "compress";
    case STATION_PHASE_ERASE:
        return "erase";
    case STATION_PHASE_PROGRAM:
        return "program";
    case STATION_PHASE_VERIFY:
        return "verify";
    case STATION_PHASE_DUMP:
        return "dump";
    case STATION_PHASE_ERASE_CHIP:
        return "erase-chip";
    case STATION_PHASE_FLASH_ID:
        return "flash-id";
    }
    return "unknown";
}

const char* StationErrorName(TE_STATION_ERROR error) {
    switch (error) {
    case STATION_OK:
        return "ok";
    case STATION_ERR_USAGE:
        return "usage";
    case STATION_ERR_FILE:
        return "file";
    case STATION_ERR_PORT_OPEN:
        return "port-open";
    case STATION_ERR_NO_ANSWER:
        return "no-answer";
    case STATION_ERR_NOT_POSSIBLE:
        return "not-possible";
    case STATION_ERR_LINK:
        return "link";
    case STATION_ERR_DISCONNECTED:
        return "disconnected";
    case STATION_ERR_WRITER:
        return "writer";
    case STATION_ERR_DOWNLOAD:
        return "download";
    case STATION_ERR_VERIFY:
        return "verify";
    case STATION_ERR_ERASE:
        return "erase";
    case STATION_ERR_FLASH_ID:
        return "flash-id";
    case STATION_ERR_STOPPED:
        return "stopped";
    case STATION_ERR_INTERNAL:
        return "internal";
    case STATION_ERR_SERIAL:
        return "serial";
    case STATION_ERR_RECORD:
        return "record";
    }
    return "unknown";
}

const char* StationPortStateName(TE_STATION_PORT_STATE state) {
    switch (state) {
    case STATION_PORT_NO_DEVICE:
        return "no-device";
    case STATION_PORT_OPENING:
        return "opening";
    case STATION_PORT_ANSWER:
        return "answer";
    case STATION_PORT_JOB:
        return "job";
    case STATION_PORT_REMOVAL:
        return "removal";
    case STATION_PORT_ENDED:
        return "ended";
    }
    return "unknown";
}

TS_STATION_PORT StationUartPort(const std::string& path, int baudIndex, const std::string& label) {
    TS_STATION_PORT port;
    port.Label = label.empty() ? path : label;
    port.DevicePath = path;
    port.Config = TS_PORT_CONFIG{PORT_UART, 0, baudIndex, 3, 0, 0, 0};
    return port;
}

TS_STATION_PORT StationUsbPort(const std::string& path, const std::string& label) {
    TS_STATION_PORT port;
    port.Label = label.empty() ? path : label;
    port.DevicePath = path;
    port.Config = TS_PORT_CONFIG{PORT_USB, 0, 12, 3, 0, 0, 0};
    return port;
}

// ---- the engine ----

CStationEngine::CStationEngine(TS_STATION_JOB job, std::vector<TS_STATION_PORT> ports,
                               IStationObserver& observer)
    : m_job(std::move(job)), m_observer(observer), m_last(ports.size()), m_version(ModuleFileVersion()) {
    for (std::size_t k = 0; k < ports.size(); ++k) {
        m_ports.push_back(std::make_unique<CStationPort>(*this, static_cast<int>(k), std::move(ports[k])));
    }
}

CStationEngine::~CStationEngine() {
    m_usbArrivals.reset(); // no more calls from the watcher's thread
    StopAll();
    Wait();
}

void CStationEngine::Start(bool watch) {
    const bool usb = std::any_of(m_ports.begin(), m_ports.end(), [](const auto& port) {
        return port->Port().DevicePath.rfind("usb:", 0) == 0;
    });
    if (watch && usb && !m_usbArrivals) {
        // a watching port looks for its device again at once when the bus changes, not at its
        // next 200 ms look
        m_usbArrivals = WatchUsbArrivals([this] { DeviceMayHaveAppeared(); });
    }
    for (auto& port : m_ports) {
        port->Start(watch);
    }
}

void CStationEngine::StopAll() {
    m_stopAll.store(true);
    for (auto& port : m_ports) {
        port->RequestStop();
    }
}

void CStationEngine::Stop(int port) {
    if (port >= 0 && port < PortCount()) {
        m_ports[static_cast<std::size_t>(port)]->RequestStop();
    }
}

void CStationEngine::Wait() {
    for (auto& port : m_ports) {
        port->Join();
    }
}

bool CStationEngine::Running() const {
    for (const auto& port : m_ports) {
        if (port->Running()) {
            return true;
        }
    }
    return false;
}

const TS_STATION_PORT& CStationEngine::Port(int port) const {
    return m_ports.at(static_cast<std::size_t>(port))->Port();
}

TS_STATION_TALLY CStationEngine::Tally() const {
    std::lock_guard lock(m_mutex);
    TS_STATION_TALLY tally = m_tally;
    tally.Running = 0;
    for (const auto& port : m_ports) {
        tally.Running += port->Busy() ? 1 : 0;
    }
    return tally;
}

TS_STATION_RESULT CStationEngine::LastResult(int port) const {
    std::lock_guard lock(m_mutex);
    return m_last.at(static_cast<std::size_t>(port));
}

void CStationEngine::Ended(int port, const TS_STATION_RESULT& result) {
    std::lock_guard lock(m_mutex);
    (result.Ok ? m_tally.Succeeded : m_tally.Failed)++;
    m_last[static_cast<std::size_t>(port)] = result;
}

void CStationEngine::DeviceMayHaveAppeared() {
    for (auto& port : m_ports) {
        port->LookAgain();
    }
}

// One file of the job, prepared once for every port.
struct CStationEngine::TS_PREPARING {
    bool running = false; // a port is making it
    std::shared_ptr<const TS_PREPARED_FILE> file;
    TE_STATION_ERROR error = STATION_OK; // it cannot be made (stopping does not count)
    std::string message;
};

std::shared_ptr<const TS_PREPARED_FILE> CStationEngine::Prepare(CStationPort& port, const std::string& path,
                                                                TE_STATION_ERROR& error,
                                                                std::string& message) {
    const bool keepImage = m_job.Verify; // what verify compares with
    std::unique_lock lock(m_prepareMutex);
    std::shared_ptr<TS_PREPARING>& slot = m_files[path];
    if (!slot) {
        slot = std::make_shared<TS_PREPARING>();
    }
    const std::shared_ptr<TS_PREPARING> entry = slot;
    // another port makes it: wait, looking at this port's stop flag meanwhile
    while (entry->running && !port.Stopped()) {
        m_prepared.wait_for(lock, std::chrono::milliseconds(50));
    }
    if (entry->file) {
        return entry->file;
    }
    if (entry->error != STATION_OK) {
        error = entry->error;
        message = entry->message;
        return nullptr;
    }
    if (port.Stopped()) {
        error = STATION_ERR_STOPPED;
        return nullptr;
    }
    entry->running = true;
    lock.unlock();

    auto file = std::make_shared<TS_PREPARED_FILE>();
    TE_STATION_ERROR failed = STATION_OK;
    std::string why;
    bool compressed = false;
    // a pinned file: its bytes are read once, hashed, and only those bytes are compressed or sent
    const std::string pinned = m_pins ? m_pins->PinnedSha256(path) : std::string();
    std::string copy; // the private copy the compression reads
    auto checkPin = [&](std::string& digest) {
        std::string bytes;
        if (!ReadAll(path, bytes)) {
            failed = STATION_ERR_FILE;
            why = "'" + path + "' does not read";
            return false;
        }
        digest = m_pins->Sha256Of(bytes);
        if (digest != pinned) {
            failed = STATION_ERR_FILE;
            why = "'" + path + "' changed since the job was loaded: its SHA-256 is " + digest + ", not the " +
                  pinned + " the job pins";
            return false;
        }
        if (GetFileKind(path) == KIND_M0) {
            copy = PrivateCopy(path, bytes);
            if (copy.empty()) {
                failed = STATION_ERR_FILE;
                why = "'" + path + "': cannot write a private copy beside it";
                return false;
            }
        }
        return true;
    };
    std::string digest;
    try {
        const TE_FLASH_FILE_KIND kind = GetFileKind(path);
        if (!pinned.empty() && !checkPin(digest)) {
            // refused before anything is compressed, erased or sent
        } else if (kind == KIND_M0) {
            std::atomic<bool> stop{false};
            TS_COMPRESS_HOOKS hooks;
            hooks.MarkArea = [&](uint32_t address) {
                if (port.Stopped()) {
                    stop.store(true);
                }
                file->Marks.MarkArea(address);
            };
            hooks.Observer = &port;
            hooks.Stop = &stop;
            std::string problem;
            if (!CompressFlashFile(copy.empty() ? path : copy, file->SendPath, hooks, &problem)) {
                failed = port.Stopped() ? STATION_ERR_STOPPED : STATION_ERR_FILE;
                why = "'" + path + "': " + OneLine(std::string(sessiontext::ERR_COMPRESS) + problem);
            } else {
                file->Compressed = true;
                compressed = true;
                // the .cp64 of the private copy takes the place of the file's own .cp64
                if (!copy.empty() &&
                    platform::RenameReplacing(file->SendPath, CompressedFilePath(path)) == 0) {
                    file->SendPath = CompressedFilePath(path);
                }
            }
        } else if (kind == KIND_CP64) {
            file->SendPath = path;
        } else {
            failed = STATION_ERR_FILE;
            why = "'" + path + "': " + OneLine(sessiontext::ERR_UNKNOWN_FORMAT);
        }
        std::string problem;
        if (failed == STATION_OK && !ReadPrepared(file->SendPath, keepImage, *file, problem)) {
            failed = STATION_ERR_FILE;
            why = "'" + path + "': " + OneLine(problem);
        }
        // a .cp64 is sent from the file itself: it must still be the bytes checked above
        if (failed == STATION_OK && !pinned.empty() && kind == KIND_CP64) {
            checkPin(digest);
        }
    } catch (...) {
        if (!copy.empty()) {
            std::remove(copy.c_str());
        }
        lock.lock();
        entry->running = false;
        m_prepared.notify_all();
        throw;
    }

    if (!copy.empty()) {
        std::remove(copy.c_str());
    }
    if (failed == STATION_OK && !pinned.empty()) {
        m_pins->Prepared(path, digest);
    }
    lock.lock();
    entry->running = false;
    m_compressions += compressed ? 1 : 0;
    if (failed == STATION_OK) {
        entry->file = file;
    } else if (failed != STATION_ERR_STOPPED) {
        entry->error = failed;
        entry->message = why;
    }
    m_prepared.notify_all();
    lock.unlock();
    if (!pinned.empty() && failed == STATION_ERR_FILE) {
        StopAll(); // a line does not go on with a changed file
    }
    error = failed;
    message = why;
    return failed == STATION_OK ? std::shared_ptr<const TS_PREPARED_FILE>(file) : nullptr;
}

int CStationEngine::Compressions() const {
    std::lock_guard lock(m_prepareMutex);
    return m_compressions;
}

std::string CStationEngine::RepeatedPort(const std::vector<TS_STATION_PORT>& ports) {
    // a stable name (/dev/serial/by-id/...) and the tty it points to are the same port, and so
    // are COM3 and \\.\COM3
    std::vector<std::string> real;
    for (const TS_STATION_PORT& port : ports) {
        real.push_back(CanonicalPortName(port.DevicePath));
    }
    for (std::size_t a = 0; a < ports.size(); ++a) {
        for (std::size_t b = 0; b < a; ++b) {
            if (ports[a].Label == ports[b].Label || real[a] == real[b]) {
                return ports[a].Label;
            }
        }
    }
    return {};
}

void CStationEngine::SetLineHooks(const TS_LINE_HOOKS& hooks) {
    m_lineData = hooks.Data;
    m_recorder = hooks.Recorder;
    m_pins = hooks.Pins;
}
