#include "HoldingSocketPrinter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>

namespace
{
// How often the worker looks at its flags when nothing arrives; also the longest wait on destruction.
constexpr int c_iPollStepMs = 100;
// Once its data is sent, the socket backend gives up after 90 s without a word from the
// printer and reports the job done; a byte now and then keeps it waiting.
constexpr std::chrono::seconds c_keepAliveInterval{30};
const char c_chKeepAlive = '\n';
constexpr int c_iMaxConnections = 64;
constexpr int c_iReadChunk = 64 * 1024;
constexpr int c_iListenBacklog = 16;
constexpr uint32_t c_uLoopbackNet = 0x7f000000;
constexpr uint32_t c_uLoopbackMask = 0xff000000;

int ListenOn(const QString &strAddress, quint16 uPort)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uPort);
    if (inet_pton(AF_INET, strAddress.toLatin1().constData(), &addr.sin_addr) != 1 ||
        (ntohl(addr.sin_addr.s_addr) & c_uLoopbackMask) != c_uLoopbackNet)
        return -1;
    const int iFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (iFd < 0)
        return -1;
    // Earlier tests' connections linger in TIME_WAIT on the same address.
    const int iOn = 1;
    ::setsockopt(iFd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    if (::bind(iFd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 ||
        ::listen(iFd, c_iListenBacklog) != 0) {
        ::close(iFd);
        return -1;
    }
    return iFd;
}
}  // namespace

HoldingSocketPrinter::HoldingSocketPrinter(const QString &strAddress, quint16 uPort)
    : m_iListenFd(ListenOn(strAddress, uPort))
{
    if (m_iListenFd >= 0)
        m_thread = std::thread([this] { Run(); });
}

HoldingSocketPrinter::~HoldingSocketPrinter()
{
    m_bQuit.store(true);
    if (m_thread.joinable())
        m_thread.join();
    for (const stConnection &conn : m_vecConn)
        ::close(conn.iFd);
    if (m_iListenFd >= 0)
        ::close(m_iListenFd);
}

void HoldingSocketPrinter::Run()
{
    std::vector<pollfd> vecPoll;
    std::vector<size_t> vecConnOfPoll;
    auto nextKeepAlive = std::chrono::steady_clock::now() + c_keepAliveInterval;
    while (!m_bQuit.load()) {
        CloseFinished();
        if (std::chrono::steady_clock::now() >= nextKeepAlive) {
            KeepAlive();
            nextKeepAlive = std::chrono::steady_clock::now() + c_keepAliveInterval;
        }
        vecPoll.assign({{m_iListenFd, POLLIN, 0}});
        vecConnOfPoll.clear();
        for (size_t i = 0; i < m_vecConn.size(); ++i) {
            // A finished sender keeps reporting end of file; there is nothing more to read.
            if (m_vecConn[i].bSenderDone)
                continue;
            vecPoll.push_back({m_vecConn[i].iFd, POLLIN, 0});
            vecConnOfPoll.push_back(i);
        }
        if (::poll(vecPoll.data(), vecPoll.size(), c_iPollStepMs) <= 0)
            continue;
        for (size_t i = 0; i < vecConnOfPoll.size(); ++i) {
            if (vecPoll[i + 1].revents)
                Serve(m_vecConn[vecConnOfPoll[i]]);
        }
        if (vecPoll[0].revents & POLLIN)
            Accept();
    }
}

void HoldingSocketPrinter::Accept()
{
    const int iFd = ::accept4(m_iListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (iFd < 0)
        return;
    ++m_iAccepted;
    if (int(m_vecConn.size()) >= c_iMaxConnections) {
        ::close(iFd);
        return;
    }
    m_vecConn.push_back({iFd, false});
}

void HoldingSocketPrinter::Serve(stConnection &conn)
{
    char acBuf[c_iReadChunk];
    const ssize_t iRead = ::read(conn.iFd, acBuf, sizeof(acBuf));
    if (iRead > 0)
        m_iBytes += iRead;
    else if (iRead == 0 || (errno != EAGAIN && errno != EINTR))
        conn.bSenderDone = true;
}

void HoldingSocketPrinter::KeepAlive()
{
    for (const stConnection &conn : m_vecConn) {
        if (conn.bSenderDone)
            ::send(conn.iFd, &c_chKeepAlive, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void HoldingSocketPrinter::CloseFinished()
{
    if (!m_bRelease.load())
        return;
    const auto itEnd = std::remove_if(m_vecConn.begin(), m_vecConn.end(), [](const stConnection &conn) {
        if (conn.bSenderDone)
            ::close(conn.iFd);
        return conn.bSenderDone;
    });
    m_vecConn.erase(itEnd, m_vecConn.end());
}
