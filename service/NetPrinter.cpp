// Status and job cancel over UDP port 9300 of a network printer.
#include <QByteArray>
#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "PrinterTransport.h"
#include "UtilLog.h"
#include "UtilPrinterStatus.h"
#include "npa.h"

namespace service
{
namespace
{
constexpr unsigned short c_usPrinterPort = 9300;
constexpr int c_iStatusTimeoutMs = 2000;
constexpr int c_iReceiveMax = 2048;

const unsigned char c_szStandardRequest[15] = {0xA5, 0x00, 0x0C, 0x50, 0xE0, 0x74, 0x08, 0x03};
const unsigned char c_szCancelDatagram[8] = {0xA1, 0x34, 0x00, 0x00, 0x00, 0x00, 0xF9, 0x03};

class UdpSocket
{
public:
    UdpSocket() : m_iFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~UdpSocket()
    {
        if (m_iFd >= 0)
            ::close(m_iFd);
    }
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;
    int Fd() const { return m_iFd; }

private:
    int m_iFd;
};

bool PrinterAddress(const QString &strPort, sockaddr_in &addr)
{
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(c_usPrinterPort);
    return !strPort.isEmpty() && inet_pton(AF_INET, strPort.toLatin1().constData(), &addr.sin_addr) == 1;
}

bool SendWhole(const UdpSocket &sock, const sockaddr_in &addr, const unsigned char *pData, int iLength)
{
    const ssize_t iSent = ::sendto(sock.Fd(), pData, size_t(iLength), 0, reinterpret_cast<const sockaddr *>(&addr),
                                   sizeof(addr));
    return iSent == iLength;
}

// One datagram from the printer's own address within the deadline; datagrams from
// anyone else are dropped and the wait goes on.
int ReceiveFromPrinter(const UdpSocket &sock, const sockaddr_in &addrPrinter, QByteArray &baAnswer)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(c_iStatusTimeoutMs);
    unsigned char szBuffer[c_iReceiveMax];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd = {sock.Fd(), POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, int(left)) <= 0)
            return QUERY_NO_ANSWER;
        sockaddr_in addrFrom = {};
        socklen_t iFromLength = sizeof(addrFrom);
        const ssize_t iLength = ::recvfrom(sock.Fd(), szBuffer, sizeof(szBuffer), MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr *>(&addrFrom), &iFromLength);
        if (iLength < 0 && errno != EAGAIN && errno != EINTR)
            return QUERY_NO_ANSWER;
        if (iLength < 0 || addrFrom.sin_addr.s_addr != addrPrinter.sin_addr.s_addr)
            continue;
        if (iLength <= ssize_t(c_ulStatusPrefix))
            return QUERY_NO_ANSWER;
        baAnswer = QByteArray(reinterpret_cast<const char *>(szBuffer), int(iLength));
        return QUERY_OK;
    }
}

// Sends one request and waits for the printer's answer.
int Exchange(const QString &strPort, const unsigned char *pRequest, int iLength, QByteArray &baAnswer)
{
    sockaddr_in addr;
    if (!PrinterAddress(strPort, addr))
        return QUERY_BAD_ADDRESS;
    UdpSocket sock;
    if (sock.Fd() < 0)
        return QUERY_NO_SOCKET;
    if (!SendWhole(sock, addr, pRequest, iLength))
        return QUERY_SEND_FAILED;
    return ReceiveFromPrinter(sock, addr, baAnswer);
}
}  // namespace

int GetPrinterStatusUDP(const QString &strPort, QByteArray &baStatus)
{
    return Exchange(strPort, c_szStandardRequest, sizeof(c_szStandardRequest), baStatus);
}

int GetPrinterStatusUDP_KQ(const QString &strPort, QByteArray &baStatus)
{
    NPA::CCmd cmd;
    if (!NPA::BuildStatusCmd(cmd))
        return QUERY_BAD_ADDRESS;
    QByteArray baAnswer;
    const int iCode = Exchange(strPort, cmd.Frame(), cmd.Length(), baAnswer);
    if (iCode != QUERY_OK)
        return iCode;
    NPA::CParse parse(&cmd, baAnswer.size());
    std::copy(baAnswer.cbegin(), baAnswer.cend(), parse.Buffer());
    if (!parse.CheckResult(baAnswer.size())) {
        LOG_WRITE("CheckResult failed: Invalid response data.");
        return QUERY_NO_ANSWER;
    }
    baStatus = QByteArray(int(c_ulStatusPrefix), '\0') + baAnswer;
    return QUERY_OK;
}

int CancelPrinterNetJob(const QString &strPort)
{
    LOG_WRITE("strPort:%s\n", strPort.toUtf8().constData());
    sockaddr_in addr;
    if (!PrinterAddress(strPort, addr))
        return QUERY_BAD_ADDRESS;
    UdpSocket sock;
    if (sock.Fd() < 0)
        return QUERY_NO_SOCKET;
    if (!SendWhole(sock, addr, c_szCancelDatagram, sizeof(c_szCancelDatagram)))
        return QUERY_SEND_FAILED;
    LOG_WRITE("cancel job\n");
    return QUERY_OK;
}
}  // namespace service
