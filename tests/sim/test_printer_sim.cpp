#include <gtest/gtest.h>

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "PrinterSim.h"
#include "StatusReplyBuilder.h"
#include "TestSupport.h"
#include "UtilPrinterStatus.h"
#include "npa.h"

using namespace std::chrono;

namespace
{
// Ports of their own, so these cases never meet a printer another test runs on 9300.
constexpr quint16 c_usStandardPort = 19301;
constexpr quint16 c_usKQPort = 19302;
constexpr quint16 c_usQuietPort = 19303;
constexpr milliseconds c_answerTimeout = seconds(5);
constexpr milliseconds c_quietWait = milliseconds(500);
constexpr milliseconds c_logTimeout = seconds(5);
constexpr milliseconds c_exitTimeout = seconds(10);
constexpr int c_iReceiveMax = 2048;

const QByteArray c_baStandardRequest("\xA5\x00\x0C\x50\xE0\x74\x08\x03\0\0\0\0\0\0\0", 15);
const QByteArray c_baCancel("\xA1\x34\x00\x00\x00\x00\xF9\x03", 8);

const unsigned char *Bytes(const QByteArray &ba)
{
    return reinterpret_cast<const unsigned char *>(ba.constData());
}

class UdpClient
{
public:
    UdpClient() : m_iFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~UdpClient()
    {
        if (m_iFd >= 0)
            ::close(m_iFd);
    }
    UdpClient(const UdpClient &) = delete;
    UdpClient &operator=(const UdpClient &) = delete;

    bool Send(const PrinterSim &sim, const QByteArray &ba) const
    {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(sim.Port());
        if (inet_pton(AF_INET, sim.Address().toLatin1().constData(), &addr.sin_addr) != 1)
            return false;
        return ::sendto(m_iFd, ba.constData(), std::size_t(ba.size()), 0, reinterpret_cast<const sockaddr *>(&addr),
                        sizeof(addr)) == ba.size();
    }

    // The next datagram and the address it came from; empty when none came in time.
    QByteArray Receive(milliseconds timeout, QString *pFrom = nullptr) const
    {
        pollfd pfd = {m_iFd, POLLIN, 0};
        if (::poll(&pfd, 1, int(timeout.count())) <= 0)
            return {};
        char szBuffer[c_iReceiveMax];
        sockaddr_in addrFrom = {};
        socklen_t iFromLength = sizeof(addrFrom);
        const ssize_t iLength = ::recvfrom(m_iFd, szBuffer, sizeof(szBuffer), 0,
                                           reinterpret_cast<sockaddr *>(&addrFrom), &iFromLength);
        if (iLength <= 0)
            return {};
        if (pFrom)
            *pFrom = QString::fromLatin1(inet_ntoa(addrFrom.sin_addr));
        return QByteArray(szBuffer, int(iLength));
    }

private:
    int m_iFd;
};

QByteArray Exchange(const PrinterSim &sim, const QByteArray &baRequest, milliseconds timeout = c_answerTimeout,
                    QString *pFrom = nullptr)
{
    UdpClient client;
    return client.Send(sim, baRequest) ? client.Receive(timeout, pFrom) : QByteArray();
}

bool DecodeStandard(const QByteArray &ba, UtilPrinterStatus &status)
{
    return status.parseRecvBuf(Bytes(ba), ba.size());
}

bool DecodeKQ(const QByteArray &baFrame, UtilPrinterStatus &status)
{
    const QByteArray ba = KQStatusBuffer(baFrame);
    return status.parseRecvBuf_KQ(Bytes(ba), ba.size());
}

// The checks the service makes before it believes a KQ answer.
bool Accepted(const NPA::CCmd &cmd, const QByteArray &ba)
{
    NPA::CParse parse(&cmd, ba.size());
    std::copy(ba.cbegin(), ba.cend(), parse.Buffer());
    return parse.CheckResult(ba.size());
}

QByteArray Frame(const NPA::CCmd &cmd)
{
    return QByteArray(reinterpret_cast<const char *>(cmd.Frame()), cmd.Length());
}
}  // namespace

TEST(PrinterSim, StandardPrinterAnswersFromItsStateAndFollowsChanges)
{
    PrinterSim sim;
    ASSERT_TRUE(sim.Start("127.0.0.2", "standard",
                          {"status=16", "errors=0x1106", "warnings=0x110D", "toner=40", "serial=VX-42"},
                          c_usStandardPort))
        << sim.Output().toStdString();

    UtilPrinterStatus first(enKQVariant::Service);
    ASSERT_TRUE(DecodeStandard(Exchange(sim, c_baStandardRequest), first));
    EXPECT_EQ(first.m_ulStatus, 16u);
    EXPECT_EQ(first.m_listErrorCode, (QList<unsigned long>{0x1106}));
    EXPECT_EQ(first.m_listWarningCode, (QList<unsigned long>{0x110D}));
    EXPECT_EQ(first.m_ulRemainingToner, 40u);
    EXPECT_EQ(first.m_strSerial, "VX-42");
    EXPECT_FALSE(first.m_strSupplySerial.isEmpty());
    EXPECT_EQ(sim.Received(PrinterSim::c_szKindStandard), QList<QByteArray>{c_baStandardRequest});

    ASSERT_TRUE(sim.Set("status", "0"));
    ASSERT_TRUE(sim.Set("errors", ""));
    ASSERT_TRUE(sim.Set("toner", "5"));
    UtilPrinterStatus second(enKQVariant::Service);
    ASSERT_TRUE(DecodeStandard(Exchange(sim, c_baStandardRequest), second));
    EXPECT_EQ(second.m_ulStatus, 0u);
    EXPECT_TRUE(second.m_listErrorCode.isEmpty());
    EXPECT_EQ(second.m_ulRemainingToner, 5u);

    ASSERT_TRUE(sim.Set("reply_from", "127.0.0.4"));
    QString strFrom;
    EXPECT_FALSE(Exchange(sim, c_baStandardRequest, c_answerTimeout, &strFrom).isEmpty());
    EXPECT_EQ(strFrom, "127.0.0.4");

    ASSERT_TRUE(sim.Set("reply_from", ""));
    ASSERT_TRUE(sim.Set("short", "1"));
    EXPECT_EQ(Exchange(sim, c_baStandardRequest).size(), 7);

    ASSERT_TRUE(sim.Set("silent", "1"));
    EXPECT_TRUE(Exchange(sim, c_baStandardRequest, c_quietWait).isEmpty());
    EXPECT_TRUE(WaitUntil([&] { return sim.Count(PrinterSim::c_szKindStandard) == 5; }, c_logTimeout));
    EXPECT_TRUE(sim.Stop());
}

TEST(PrinterSim, KQPrinterAnswersPassTheServiceChecksUnlessToldOtherwise)
{
    PrinterSim sim;
    ASSERT_TRUE(sim.Start("127.0.0.3", "kq",
                          {"status=3", "qualifier=2", "errors=0x1106", "warnings=0x110F", "toner=70"}, c_usKQPort))
        << sim.Output().toStdString();
    NPA::CCmd cmd;
    ASSERT_TRUE(NPA::BuildStatusCmd(cmd));

    const QByteArray ba = Exchange(sim, Frame(cmd));
    ASSERT_TRUE(Accepted(cmd, ba));
    UtilPrinterStatus service(enKQVariant::Service);
    ASSERT_TRUE(DecodeKQ(ba, service));
    EXPECT_EQ(service.m_ulStatus, 3u);
    EXPECT_EQ(service.m_listErrorCode, (QList<unsigned long>{0x1106}));
    EXPECT_EQ(service.m_listWarningCode, (QList<unsigned long>{0x110F}));
    UtilPrinterStatus tool(enKQVariant::Tool);
    ASSERT_TRUE(DecodeKQ(ba, tool));
    EXPECT_EQ(tool.m_ulStatus, 8u);  // the qualifier says printing
    EXPECT_EQ(tool.m_ulRemainingToner, 70u);
    EXPECT_EQ(sim.Received(PrinterSim::c_szKindKQ), QList<QByteArray>{Frame(cmd)});

    for (const char *szFault : {"wrong_sn", "bad_crc", "return_value"}) {
        ASSERT_TRUE(sim.Set(szFault, "1"));
        const QByteArray baFaulty = Exchange(sim, Frame(cmd));
        EXPECT_FALSE(baFaulty.isEmpty()) << szFault;
        EXPECT_FALSE(Accepted(cmd, baFaulty)) << szFault;
        ASSERT_TRUE(sim.Set(szFault, "0"));
    }
    EXPECT_TRUE(Accepted(cmd, Exchange(sim, Frame(cmd))));
}

TEST(PrinterSim, CancelForeignAndUnknownDatagramsAreLoggedButNotAnswered)
{
    PrinterSim sim;
    ASSERT_TRUE(sim.Start("127.0.0.2", "standard", {}, c_usQuietPort)) << sim.Output().toStdString();
    NPA::CCmd cmd;
    ASSERT_TRUE(NPA::BuildStatusCmd(cmd));

    UdpClient client;
    ASSERT_TRUE(client.Send(sim, c_baCancel));
    ASSERT_TRUE(client.Send(sim, c_baCancel));
    ASSERT_TRUE(client.Send(sim, "hello"));
    ASSERT_TRUE(client.Send(sim, Frame(cmd)));  // a standard printer does not speak NPA
    EXPECT_TRUE(WaitUntil([&] { return sim.Count() == 4; }, c_logTimeout));
    EXPECT_EQ(sim.Received(PrinterSim::c_szKindCancel), (QList<QByteArray>{c_baCancel, c_baCancel}));
    EXPECT_EQ(sim.Received(PrinterSim::c_szKindOther), QList<QByteArray>{"hello"});
    EXPECT_EQ(sim.Count(PrinterSim::c_szKindKQ), 1);
    EXPECT_TRUE(client.Receive(c_quietWait).isEmpty());
}

TEST(PrinterSim, RefusesAddressesOutsideItsLoopbackRange)
{
    for (const char *szAddress : {"192.0.2.1", "127.0.0.1", "0.0.0.0", "localhost"}) {
        QTemporaryDir dir;
        ChildProcess sim;
        ASSERT_TRUE(sim.Start(PrinterSim::Program(), {"--address", szAddress, "--layout", "standard", "--control",
                                                      dir.filePath("control"), "--log", dir.filePath("log")}));
        ASSERT_TRUE(sim.WaitExit(c_exitTimeout)) << szAddress;
        EXPECT_EQ(sim.ExitCode(), 2) << szAddress;
        EXPECT_FALSE(QFile::exists(dir.filePath("log"))) << szAddress;
    }
}
