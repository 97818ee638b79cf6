// The station as a service: an HTTP API under /api/v1/ and the dashboard at /, over the station's
// own events (the JSON Lines of `vandrel-cli --json`, docs/JSON.md) and the record store.
//
// The service never runs a job itself: an IStationRunner (vandrel-cli's) starts and stops the
// station with a job and hands every event line to OnStationLine. The service keeps the state
// of every port, a bounded backlog of events for the event stream, and answers the API from
// them; a client that reads slowly or not at all only loses events of its own (it is told so).
//
//   CStationService service(config, runner);
//   if (!service.Listen(error)) ...        // binds; refuses a non-loopback address without tokens
//   service.Run();                         // until Stop() (any thread)
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The default port of `vandrel-cli serve` (docs/API.md).
inline constexpr int kServiceDefaultPort = 8370;

// A job to start: a job file, the ports (the station's labels: "COM1", "usb", a device path)
// and whether the ports watch for the next handset.
struct TS_SERVICE_START {
    std::string JobPath;
    std::vector<std::string> Ports;
    bool Watch = true;
};

class IStationRunner {
public:
    virtual ~IStationRunner() = default;
    // Starts the station with a job whose file was checked; returns at once. Every event line
    // goes to lines (from the runner's threads), then ended(exit status, what the run said on
    // its error output) once the station has ended. Empty, or why nothing started.
    virtual std::string Start(const TS_SERVICE_START& start, std::function<void(const std::string&)> lines,
                              std::function<void(int, const std::string&)> ended) = 0;
    // Asks the running station to stop (every handset at a block boundary); returns at once.
    virtual void Stop() = 0;
    // Waits for the station's end (nothing running: at once).
    virtual void Wait() = 0;
};

struct TS_SERVICE_CONFIG {
    std::string Host = "127.0.0.1";
    int Port = kServiceDefaultPort;          // 0: any free port (tests)
    std::string JobsDir;                     // --jobs DIR; empty: no job chosen by name
    std::string TokenFile;                   // --tokens FILE; empty: loopback only, no tokens
    std::vector<std::string> AllowedOrigins; // --allow-origin; the service's own is always allowed
    std::vector<std::string> Ports;          // the station's ports (labels), in order
    std::string Store;                       // the record store (as --store takes it)
    std::string StoreText;                   // how it may be shown (no credentials)
    std::size_t MaxBodyBytes = 64 * 1024;
    std::size_t MaxStreams = 8; // event-stream clients at once
    std::size_t Threads = 16;   // requests served at once
    std::size_t BacklogEvents = 4096;
    std::size_t BacklogBytes = 4u << 20;
};

class CStationService {
public:
    CStationService(TS_SERVICE_CONFIG config, IStationRunner& runner);
    ~CStationService();
    CStationService(const CStationService&) = delete;
    CStationService& operator=(const CStationService&) = delete;

    // Reads the token file and binds the address. False with the reason (nothing listens).
    bool Listen(std::string& error);
    // The port bound (after Listen) and the address to open.
    int BoundPort() const;
    std::string Url() const;
    // Serves until Stop.
    void Run();
    // Stops serving (any thread): the event streams end, Run returns. The station is not touched.
    void Stop();

    // Starts a job as POST /api/v1/station/start does (a job path given at start, say): empty, or
    // the reason nothing started.
    std::string StartJob(const TS_SERVICE_START& start);
    // Asks the station to stop and waits for its end (every record completed).
    void StopStation();
    // One event line of the station (any thread).
    void OnStationLine(const std::string& line);

private:
    struct TS_IMPL;
    std::unique_ptr<TS_IMPL> m;
};
