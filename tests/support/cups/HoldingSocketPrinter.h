// A network printer on a loopback address that takes a job's data and then keeps the
// connection open, so the scheduler's socket backend, and with it the job, stays
// "printing" for as long as the test needs.
#pragma once

#include <QString>

#include <atomic>
#include <thread>
#include <vector>

constexpr quint16 c_uRawPrintPort = 9100;

class HoldingSocketPrinter
{
public:
    // Only 127.x.x.x addresses are taken: tests never reach outside the machine.
    explicit HoldingSocketPrinter(const QString &strAddress, quint16 uPort = c_uRawPrintPort);
    ~HoldingSocketPrinter();
    HoldingSocketPrinter(const HoldingSocketPrinter &) = delete;
    HoldingSocketPrinter &operator=(const HoldingSocketPrinter &) = delete;

    bool Listening() const { return m_iListenFd >= 0; }
    // Connections taken so far, the held and the finished ones.
    int Accepted() const { return m_iAccepted.load(); }
    qint64 BytesReceived() const { return m_iBytes.load(); }
    // From now on behaves like a plain printer: a connection closes once the sender is done.
    void Release() { m_bRelease.store(true); }

private:
    struct stConnection
    {
        int iFd = -1;
        bool bSenderDone = false;
    };

    void Run();
    void Accept();
    void Serve(stConnection &conn);
    void KeepAlive();
    void CloseFinished();

    int m_iListenFd = -1;
    std::atomic<bool> m_bRelease{false};
    std::atomic<bool> m_bQuit{false};
    std::atomic<int> m_iAccepted{0};
    std::atomic<qint64> m_iBytes{0};
    std::vector<stConnection> m_vecConn;
    std::thread m_thread;
};
