#include "PipeHandset.h"

namespace {

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end()); // test names are ASCII
}

bool WriteMessage(HANDLE pipe, const std::vector<uint8_t>& bytes, HANDLE stop) {
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    bool ok = ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov) ||
              ::GetLastError() == ERROR_IO_PENDING;
    if (ok) {
        HANDLE events[2] = {ov.hEvent, stop};
        if (::WaitForMultipleObjects(2, events, FALSE, 10000) != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, &ov);
        }
        ok = ::GetOverlappedResult(pipe, &ov, &done, TRUE) && done == bytes.size();
    }
    ::CloseHandle(ov.hEvent);
    return ok;
}

} // namespace

CPipeHandset::CPipeHandset(const std::string& name)
    : m_path("\\\\.\\pipe\\" + name), m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    m_pipe = ::CreateNamedPipeW(Wide(m_path).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0,
                                nullptr);
    m_thread = std::thread([this] { Serve(); });
}

CPipeHandset::~CPipeHandset() {
    ::SetEvent(m_stop);
    m_thread.join();
    ::CloseHandle(m_pipe);
    ::CloseHandle(m_stop);
}

std::vector<std::vector<uint8_t>> CPipeHandset::Packets() {
    std::lock_guard lock(m_mutex);
    return m_packets;
}

void CPipeHandset::Send(const std::vector<uint8_t>& message) {
    WriteMessage(m_pipe, message, m_stop);
}

void CPipeHandset::Serve() {
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE events[2] = {ov.hEvent, m_stop};
    if (!::ConnectNamedPipe(m_pipe, &ov)) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_IO_PENDING) {
            if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                ::CancelIoEx(m_pipe, &ov);
                DWORD ignored = 0;
                ::GetOverlappedResult(m_pipe, &ov, &ignored, TRUE);
                ::CloseHandle(ov.hEvent);
                return;
            }
        } else if (err != ERROR_PIPE_CONNECTED) {
            ::CloseHandle(ov.hEvent);
            return;
        }
    }
    WriteMessage(m_pipe, {0x21, 0x00, 0x00}, m_stop); // the greeting, discarded by the program
    std::vector<uint8_t> buffer(4096);
    for (;;) {
        ::ResetEvent(ov.hEvent);
        DWORD got = 0;
        if (!::ReadFile(m_pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov) &&
            ::GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            ::CancelIoEx(m_pipe, &ov);
            ::GetOverlappedResult(m_pipe, &ov, &got, TRUE);
            break;
        }
        if (!::GetOverlappedResult(m_pipe, &ov, &got, FALSE)) {
            break;
        }
        std::vector<uint8_t> packet(buffer.begin(), buffer.begin() + got);
        {
            std::lock_guard lock(m_mutex);
            m_packets.push_back(packet);
        }
        if (!m_answering || packet.size() < 7 || packet[0] != 0x02) {
            continue;
        }
        const uint8_t cid = packet[4];
        const uint8_t flag = packet[5];
        if (flag == 1 || flag == 2) {
            continue; // the reply comes after the last segment
        }
        std::vector<uint8_t> reply = {0x21, cid, 0x00};
        if (cid == 0x41) {
            reply.push_back(0x00); // flash write possible
        } else if (cid == 0x42) {
            reply.insert(reply.end(), {0x02, 1, 0, 0}); // the boot loader on USB, 1.0.0
        }
        WriteMessage(m_pipe, reply, m_stop);
    }
    ::CloseHandle(ov.hEvent);
}
