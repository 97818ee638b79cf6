// A handset's USB side on a message-mode named pipe, standing in for the vendor driver's device:
// each message from the program is one packet, each message back one reply. It greets on connect,
// records the packets, and answers the request flash write (0x41) and the runner query (0x42) as
// the boot loader does; other commands get the status the test sets. Windows tests only.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CPipeHandset {
public:
    // Serves \\.\pipe\<name> for one connection.
    explicit CPipeHandset(const std::string& name);
    ~CPipeHandset();

    const std::string& Path() const { return m_path; }
    // What the program sent, one packet per entry.
    std::vector<std::vector<uint8_t>> Packets();
    // Sends one message to the program now.
    void Send(const std::vector<uint8_t>& message);
    // false: packets are taken but not answered.
    void SetAnswering(bool on) { m_answering = on; }

private:
    void Serve();

    std::string m_path;
    HANDLE m_pipe = INVALID_HANDLE_VALUE;
    HANDLE m_stop = nullptr;
    std::atomic<bool> m_answering{true};
    std::mutex m_mutex;
    std::vector<std::vector<uint8_t>> m_packets;
    std::thread m_thread;
};
