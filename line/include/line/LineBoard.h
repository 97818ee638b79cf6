// The line's board: the stations of a line that share one PostgreSQL record store each publish
// what they look like now (a small JSON object) on their heartbeat row of the store, and hear of
// the others' changes through LISTEN/NOTIFY, so that any station can show the whole line. Nothing
// is synchronised between the stations but through the store. A SQLite store has no line.
//
//   std::string error;
//   std::unique_ptr<ILineBoard> board = OpenLineBoard(store, error);  // null: no line (error says why)
//   board->Publish(url, stateJson, error);                            // and at every change
//   while (...) { if (board->WaitForChange(500ms)) board->Stations(stations, error); }
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

struct TS_LINE_STATION {
    std::string Host;    // the host the station runs on
    std::string Url;     // where its own dashboard is, as it says
    std::string State;   // the JSON object it published last
    std::string Updated; // its last beat or publication, UTC ISO 8601
    double Age = 0;      // seconds since then
    bool Self = false;   // this board's own station
};

class ILineBoard {
public:
    virtual ~ILineBoard() = default;
    // This station's state (a JSON text) on its row; the other stations are told.
    virtual bool Publish(const std::string& url, const std::string& state, std::string& error) = 0;
    // Every station whose heartbeat is alive (a dead station's row is left out), by host and url.
    virtual bool Stations(std::vector<TS_LINE_STATION>& stations, std::string& error) = 0;
    // True as soon as another station published (or left), false after timeout without one.
    virtual bool WaitForChange(std::chrono::milliseconds timeout) = 0;
};

// The board of a PostgreSQL store (made already: a board never makes one; an older schema is
// brought up to date as a station does). Null with an empty error when the store is not a
// PostgreSQL one, null with the reason when it cannot be opened.
std::unique_ptr<ILineBoard> OpenLineBoard(const std::string& store, std::string& error);
std::unique_ptr<ILineBoard> OpenPostgresLineBoard(const std::string& url, std::string& error);
