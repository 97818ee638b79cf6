#include "vsim/UsbBulkServer.h"

#include "Links.h"

namespace vsim {

CUsbBulkServer::CUsbBulkServer(CVirtualHandset& handset, const SSimulatorOptions& options)
    : m_Handset(handset), m_Options(options) {
    m_Thread = std::thread([this] { Run(); });
}

CUsbBulkServer::~CUsbBulkServer() {
    {
        std::lock_guard lock(m_Mutex);
        m_Stop = true;
    }
    m_Cv.notify_all();
    m_Thread.join();
}

void CUsbBulkServer::Connect() {
    {
        std::lock_guard lock(m_Mutex);
        m_In.clear();
        m_Out.clear();
        m_Late.clear();
        m_HungUp = false;
        m_In.push_back({}); // an empty packet: the server resets its assembler first
    }
    m_Handset.CountUsbConnection();
    m_Cv.notify_all();
}

void CUsbBulkServer::HostSent(const uint8_t* bytes, size_t length) {
    {
        std::lock_guard lock(m_Mutex);
        if (m_HungUp) {
            return;
        }
        m_In.emplace_back(bytes, bytes + length);
    }
    m_Cv.notify_all();
}

bool CUsbBulkServer::TakeReply(std::vector<uint8_t>& message) {
    std::lock_guard lock(m_Mutex);
    if (m_Out.empty()) {
        return false;
    }
    message = std::move(m_Out.front());
    m_Out.pop_front();
    return true;
}

bool CUsbBulkServer::HungUp() const {
    std::lock_guard lock(m_Mutex);
    return m_HungUp;
}

void CUsbBulkServer::SetListener(std::function<void()> listener) {
    std::lock_guard lock(m_Mutex);
    m_Listener = std::move(listener);
}

void CUsbBulkServer::Queue(const std::vector<uint8_t>& message) {
    std::function<void()> listener;
    {
        std::lock_guard lock(m_Mutex);
        m_Out.push_back(message);
        listener = m_Listener;
    }
    if (listener) {
        listener();
    }
}

void CUsbBulkServer::Run() {
    std::unique_lock lock(m_Mutex);
    for (;;) {
        const auto wake = [this] { return m_Stop || !m_In.empty(); };
        if (m_Late.empty()) {
            m_Cv.wait(lock, wake);
        } else {
            m_Cv.wait_until(lock, m_Late.begin()->first, wake);
        }
        if (m_Stop) {
            return;
        }
        // Late replies that are due go out first, in the order they are due.
        std::vector<std::vector<uint8_t>> due;
        while (!m_Late.empty() && m_Late.begin()->first <= std::chrono::steady_clock::now()) {
            due.push_back(std::move(m_Late.begin()->second));
            m_Late.erase(m_Late.begin());
        }
        if (!due.empty()) {
            lock.unlock();
            for (const auto& message : due) {
                Queue(message);
            }
            lock.lock();
        }
        if (m_In.empty()) {
            continue;
        }
        std::vector<uint8_t> packet = std::move(m_In.front());
        m_In.pop_front();
        lock.unlock();
        if (packet.empty()) {
            m_Assembler.Reset();
            if (m_Options.usbGreeting) {
                Queue(UsbGreeting());
            }
            lock.lock();
            continue;
        }
        SResponse response;
        if (HandleUsbPacket(m_Handset, m_Assembler, packet.data(), packet.size(), response)) {
            if (response.hangUp) {
                m_Handset.NoteLinkEvent("hung up the USB connection");
                m_Handset.CountHangUp();
                std::function<void()> listener;
                {
                    std::lock_guard hold(m_Mutex);
                    m_HungUp = true;
                    m_In.clear();
                    m_Late.clear();
                    listener = m_Listener;
                }
                if (listener) {
                    listener();
                }
            } else {
                if (response.busyUs) {
                    std::unique_lock wait(m_Mutex);
                    m_Cv.wait_for(wait, std::chrono::microseconds(response.busyUs),
                                  [this] { return m_Stop; });
                }
                if (response.lateMs > 0) {
                    if (response.send) {
                        const auto when =
                            std::chrono::steady_clock::now() + std::chrono::milliseconds(response.lateMs);
                        std::lock_guard hold(m_Mutex);
                        if (!response.garbage.empty()) {
                            m_Late.emplace(when, response.garbage);
                        }
                        m_Late.emplace(when, response.frame);
                    }
                } else {
                    if (!response.garbage.empty()) {
                        Queue(response.garbage);
                    }
                    if (response.send) {
                        Queue(response.frame);
                    }
                }
            }
        }
        lock.lock();
    }
}

} // namespace vsim
