// A network printer for the tests and the demo. It answers status requests on UDP the
// way both printer families do, from a state that a test may change while it runs
// (options, then a control file re-read when it changes), and writes down every
// datagram it receives so the test can see what the service sent.
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>

#include "SimAddress.h"
#include "SimProgram.h"
#include "StatusReplyBuilder.h"
#include "npa.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr unsigned short c_usDefaultPort = 9300;
constexpr int c_iPollTickMs = 100;          // how late a stop signal may be noticed
constexpr int c_iDatagramMax = 4096;        // every request we know is far shorter
constexpr qint64 c_iControlFileMax = 64 * 1024;
constexpr int c_iDelayMaxMs = 60000;
constexpr int c_iCodeListMax = 16;          // keeps a KQ reply inside one CRC window
constexpr int c_iReplyFixedMax = 2048;      // the service reads no more than this
constexpr int c_iPendingMax = 64;           // answers waiting out their delay
constexpr int c_iShortReply = 7;            // the prefix alone
constexpr int c_iTonerFull = 100;
constexpr std::int64_t c_iNsPerSecond = 1000000000;

const unsigned char c_szStandardRequest[15] = {0xA5, 0x00, 0x0C, 0x50, 0xE0, 0x74, 0x08, 0x03};
const unsigned char c_szCancelDatagram[8] = {0xA1, 0x34, 0x00, 0x00, 0x00, 0x00, 0xF9, 0x03};
const unsigned char c_szKQStatusCommand[4] = {0x01, 0x00, 0x05, 0x01};
constexpr int c_iKQCRCOffset = 4;
constexpr int c_iKQSNOffset = 8;
constexpr int c_iKQCommandOffset = 21;

// What a standard printer reports besides its state: its supplies and counters.
constexpr std::uint16_t c_usSupplySerial = 0x0000;
constexpr std::uint16_t c_usSupplyToner = 0x1000;
constexpr std::uint16_t c_usSupplyPages = 0x1003;
constexpr std::uint16_t c_usSupplyPrints = 0x1004;
constexpr std::uint16_t c_usPrinterPages = 0x1101;
const QByteArray c_baSupplySerial = "TC-0001";
constexpr std::uint64_t c_ulSupplyPages = 1200;
constexpr std::uint64_t c_ulSupplyPrints = 1350;
constexpr std::uint64_t c_ulPrinterPages = 5400;

constexpr int c_iStandardReady = 0;
constexpr int c_iKQReady = 1;
constexpr int c_iStatusLayoutReady = -1;  // "ready" in whichever layout is current

enum enReplyLayout
{
    LAYOUT_STANDARD,
    LAYOUT_KQ,
};

enum enDatagramKind
{
    KIND_STATUS_STANDARD,
    KIND_STATUS_KQ,
    KIND_CANCEL,
    KIND_OTHER,
};

const char *const c_szKindName[] = {"status-standard", "status-kq", "cancel", "other"};

struct stSimState
{
    enReplyLayout enLayout = LAYOUT_STANDARD;
    int iStatus = c_iStatusLayoutReady;
    int iQualifier = 0;
    QList<std::uint16_t> listError;
    QList<std::uint16_t> listWarning;
    int iToner = c_iTonerFull;
    QByteArray baSerial = "SN0001";
    bool bSilent = false;
    QByteArray baReplyFixed;
    bool bShort = false;
    bool bWrongSN = false;
    bool bBadCRC = false;
    int iReturnValue = 0;
    int iDelayMs = 0;
    std::uint32_t uiReplyFrom = 0;  // host order; 0: the printer's own socket
};

struct stOptions
{
    std::uint32_t uiAddress = 0;
    unsigned short usPort = c_usDefaultPort;
    QString strControl;
    QString strLog;
    stSimState stBase;
};

struct stPendingReply
{
    Clock::time_point tpDue;
    sockaddr_in addrPeer;
    std::uint32_t uiFrom;
    QByteArray baReply;
};

struct stFileStamp
{
    bool bExists = false;
    dev_t devFile = 0;
    ino_t inoFile = 0;
    off_t iSize = 0;
    std::int64_t iModifiedNs = 0;
    std::int64_t iChangedNs = 0;
};

// The inode is compared too: a rename within one clock tick keeps the size and time.
bool SameStamp(const stFileStamp &a, const stFileStamp &b)
{
    return a.bExists == b.bExists && a.devFile == b.devFile && a.inoFile == b.inoFile && a.iSize == b.iSize &&
           a.iModifiedNs == b.iModifiedNs && a.iChangedNs == b.iChangedNs;
}

stFileStamp StampOf(const QString &strPath)
{
    stFileStamp st;
    struct stat info;
    if (::stat(QFile::encodeName(strPath).constData(), &info) != 0)
        return st;
    st.bExists = true;
    st.devFile = info.st_dev;
    st.inoFile = info.st_ino;
    st.iSize = info.st_size;
    st.iModifiedNs = std::int64_t(info.st_mtim.tv_sec) * c_iNsPerSecond + info.st_mtim.tv_nsec;
    st.iChangedNs = std::int64_t(info.st_ctim.tv_sec) * c_iNsPerSecond + info.st_ctim.tv_nsec;
    return st;
}

bool ParseSimAddress(const QString &strText, std::uint32_t &uiAddress)
{
    return ::ParseSimAddress(strText.toLatin1().constData(), &uiAddress);
}

bool ParseInt(const QString &str, int iMin, int iMax, int &iValue)
{
    bool bOk = false;
    const bool bHex = str.startsWith("0x", Qt::CaseInsensitive);
    const int i = bHex ? str.mid(2).toInt(&bOk, 16) : str.toInt(&bOk, 10);
    if (!bOk || i < iMin || i > iMax)
        return false;
    iValue = i;
    return true;
}

bool ParseFlag(const QString &strText, bool &bValue)
{
    int i = 0;
    if (!ParseInt(strText, 0, 1, i))
        return false;
    bValue = i == 1;
    return true;
}

// Condition codes are written in hex, with or without "0x".
bool ParseCodes(const QString &strText, QList<std::uint16_t> &listCode)
{
    QList<std::uint16_t> list;
    for (const QString &strPart : strText.split(',', Qt::SkipEmptyParts)) {
        QString str = strPart.trimmed();
        if (str.startsWith("0x", Qt::CaseInsensitive))
            str = str.mid(2);
        bool bOk = false;
        const uint uiCode = str.toUInt(&bOk, 16);
        if (!bOk || uiCode > 0xFFFF || list.size() >= c_iCodeListMax)
            return false;
        list.append(std::uint16_t(uiCode));
    }
    listCode = list;
    return true;
}

bool ParseHexBytes(const QString &strText, QByteArray &baValue)
{
    const QByteArray baHex = strText.toLatin1();
    const bool bHexDigits = std::all_of(baHex.cbegin(), baHex.cend(), [](char c) { return std::isxdigit(uchar(c)); });
    if (!bHexDigits || baHex.size() % 2 != 0 || baHex.size() / 2 > c_iReplyFixedMax)
        return false;
    baValue = QByteArray::fromHex(baHex);
    return true;
}

bool ParseLayout(const QString &str, enReplyLayout &enLayout)
{
    if (str != "standard" && str != "kq")
        return false;
    enLayout = str == "kq" ? LAYOUT_KQ : LAYOUT_STANDARD;
    return true;
}

bool ParseReplyFrom(const QString &strText, std::uint32_t &uiAddress)
{
    if (strText.isEmpty()) {
        uiAddress = 0;
        return true;
    }
    return ParseSimAddress(strText, uiAddress);
}

struct stSetting
{
    const char *szKey;
    bool (*pfnApply)(stSimState &st, const QString &strValue);
};

const stSetting c_stSettingList[] = {
    {"layout", [](stSimState &st, const QString &v) { return ParseLayout(v, st.enLayout); }},
    {"status", [](stSimState &st, const QString &v) { return ParseInt(v, 0, 0xFF, st.iStatus); }},
    {"qualifier", [](stSimState &st, const QString &v) { return ParseInt(v, 0, 0xFF, st.iQualifier); }},
    {"errors", [](stSimState &st, const QString &v) { return ParseCodes(v, st.listError); }},
    {"warnings", [](stSimState &st, const QString &v) { return ParseCodes(v, st.listWarning); }},
    {"toner", [](stSimState &st, const QString &v) { return ParseInt(v, 0, c_iTonerFull, st.iToner); }},
    {"serial", [](stSimState &st, const QString &v) { st.baSerial = v.toUtf8().left(0xFF); return true; }},
    {"silent", [](stSimState &st, const QString &v) { return ParseFlag(v, st.bSilent); }},
    {"reply_hex", [](stSimState &st, const QString &v) { return ParseHexBytes(v, st.baReplyFixed); }},
    {"short", [](stSimState &st, const QString &v) { return ParseFlag(v, st.bShort); }},
    {"wrong_sn", [](stSimState &st, const QString &v) { return ParseFlag(v, st.bWrongSN); }},
    {"bad_crc", [](stSimState &st, const QString &v) { return ParseFlag(v, st.bBadCRC); }},
    {"return_value", [](stSimState &st, const QString &v) { return ParseInt(v, 0, 0xFF, st.iReturnValue); }},
    {"delay_ms", [](stSimState &st, const QString &v) { return ParseInt(v, 0, c_iDelayMaxMs, st.iDelayMs); }},
    {"reply_from", [](stSimState &st, const QString &v) { return ParseReplyFrom(v, st.uiReplyFrom); }},
};

// One "key=value" text; false when the key is unknown or the value is not usable.
bool ApplySetting(stSimState &st, const QString &strLine)
{
    const int iEqual = strLine.indexOf('=');
    if (iEqual < 0)
        return false;
    const QString strKey = strLine.left(iEqual).trimmed();
    for (const stSetting &setting : c_stSettingList) {
        if (strKey == QLatin1String(setting.szKey))
            return setting.pfnApply(st, strLine.mid(iEqual + 1).trimmed());
    }
    return false;
}

// Blank lines and lines starting with '#' are skipped; a bad line is reported and the
// rest still apply, so a typo in a test does not freeze the printer.
void ApplyControlText(stSimState &st, const QByteArray &baText)
{
    for (const QByteArray &baLine : baText.split('\n')) {
        const QString strLine = QString::fromUtf8(baLine).trimmed();
        if (strLine.isEmpty() || strLine.startsWith('#'))
            continue;
        if (!ApplySetting(st, strLine))
            std::fprintf(stderr, "printer_sim: ignoring control line '%s'\n", strLine.toUtf8().constData());
    }
}

void PrintUsage()
{
    std::fprintf(stderr,
                 "usage: printer_sim --address 127.0.0.N [--port P] --layout standard|kq "
                 "--control FILE --log FILE [--set key=value]...\n"
                 "  the address must lie in 127.0.0.0/8, from 127.0.0.2 up\n");
}

bool ParsePort(const QString &strText, unsigned short &usPort)
{
    int iPort = 0;
    if (!ParseInt(strText, 1, 0xFFFF, iPort))
        return false;
    usPort = static_cast<unsigned short>(iPort);
    return true;
}

bool ApplyOption(stOptions &opt, QStringList &listSet, const QString &strName, const QString &strValue)
{
    if (strName == "--address")
        return ParseSimAddress(strValue, opt.uiAddress);
    if (strName == "--port")
        return ParsePort(strValue, opt.usPort);
    if (strName == "--layout")
        return ParseLayout(strValue, opt.stBase.enLayout);
    if (strName == "--control")
        opt.strControl = strValue;
    else if (strName == "--log")
        opt.strLog = strValue;
    else if (strName == "--set")
        listSet.append(strValue);
    else
        return false;
    return true;
}

bool ParseOptions(int argc, char **argv, stOptions &opt)
{
    QStringList listSet;
    bool bLayout = false;
    for (int i = 1; i < argc; i += 2) {
        const QString strName = QString::fromLocal8Bit(argv[i]);
        const QString strValue = i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        if (i + 1 >= argc || !ApplyOption(opt, listSet, strName, strValue)) {
            std::fprintf(stderr, "printer_sim: bad option %s %s\n", argv[i], strValue.toUtf8().constData());
            return false;
        }
        bLayout = bLayout || strName == "--layout";
    }
    if (opt.uiAddress == 0 || !bLayout || opt.strControl.isEmpty() || opt.strLog.isEmpty()) {
        std::fprintf(stderr, "printer_sim: --address, --layout, --control and --log are required\n");
        return false;
    }
    for (const QString &strSet : listSet) {
        if (!ApplySetting(opt.stBase, strSet)) {
            std::fprintf(stderr, "printer_sim: bad setting %s\n", strSet.toUtf8().constData());
            return false;
        }
    }
    return true;
}

sockaddr_in SocketAddress(std::uint32_t uiAddress, unsigned short usPort)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    addr.sin_addr.s_addr = htonl(uiAddress);
    return addr;
}

QString AddressText(std::uint32_t uiAddress)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(uiAddress >> 24)
        .arg((uiAddress >> 16) & 0xFF)
        .arg((uiAddress >> 8) & 0xFF)
        .arg(uiAddress & 0xFF);
}

// A UDP socket bound to addr:port, or -1 with the reason on stderr.
int BoundSocket(std::uint32_t uiAddress, unsigned short usPort)
{
    const int iFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = SocketAddress(uiAddress, usPort);
    if (iFd >= 0 && ::bind(iFd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0)
        return iFd;
    std::fprintf(stderr, "printer_sim: cannot bind %s:%u: %s\n", AddressText(uiAddress).toUtf8().constData(),
                 unsigned(usPort), std::strerror(errno));
    if (iFd >= 0)
        ::close(iFd);
    return -1;
}

bool Matches(const QByteArray &ba, const unsigned char *pExpected, int iLength, int iOffset = 0)
{
    return ba.size() >= iOffset + iLength &&
           std::memcmp(ba.constData() + iOffset, pExpected, std::size_t(iLength)) == 0;
}

bool IsKQStatusRequest(const QByteArray &ba)
{
    if (ba.size() != NPA::c_iStatusCmdLength || !Matches(ba, NPA::c_szMagic, 4) ||
        !Matches(ba, c_szKQStatusCommand, 4, c_iKQCommandOffset))
        return false;
    unsigned char szCRC[4];
    NPA::GetCRC(reinterpret_cast<const unsigned char *>(ba.constData()) + c_iKQSNOffset,
                std::size_t(ba.size() - c_iKQSNOffset), szCRC);
    return Matches(ba, szCRC, 4, c_iKQCRCOffset);
}

enDatagramKind Classify(const QByteArray &ba)
{
    if (ba.size() == int(sizeof(c_szStandardRequest)) && Matches(ba, c_szStandardRequest, ba.size()))
        return KIND_STATUS_STANDARD;
    if (ba.size() == int(sizeof(c_szCancelDatagram)) && Matches(ba, c_szCancelDatagram, ba.size()))
        return KIND_CANCEL;
    return IsKQStatusRequest(ba) ? KIND_STATUS_KQ : KIND_OTHER;
}

QByteArray StandardAnswer(const stSimState &st)
{
    stStandardReply reply;
    reply.baSerial = st.baSerial;
    reply.ucStatus = std::uint8_t(st.iStatus == c_iStatusLayoutReady ? c_iStandardReady : st.iStatus);
    reply.listError = st.listError;
    reply.listWarning = st.listWarning;
    reply.listSupply = {{c_usSupplySerial, c_baSupplySerial},
                        SupplyNumber(c_usSupplyToner, std::uint64_t(st.iToner), 1),
                        SupplyNumber(c_usSupplyPages, c_ulSupplyPages, 2),
                        SupplyNumber(c_usSupplyPrints, c_ulSupplyPrints, 4),
                        SupplyNumber(c_usPrinterPages, c_ulPrinterPages, 2)};
    return BuildStandardReply(reply);
}

// One past the request's number, so the service's own check has to catch it.
void StepSN(unsigned char szSN[4])
{
    std::uint32_t uiSN = 0;
    for (int i = 0; i < 4; ++i)
        uiSN = (uiSN << 8) | szSN[i];
    ++uiSN;
    for (int i = 3; i >= 0; --i, uiSN >>= 8)
        szSN[i] = static_cast<unsigned char>(uiSN);
}

QByteArray KQAnswer(const stSimState &st, const QByteArray &baRequest)
{
    stKQReply reply;
    reply.ucReturn = std::uint8_t(st.iReturnValue);
    reply.listRecord.append(KQState(std::uint8_t(st.iStatus == c_iStatusLayoutReady ? c_iKQReady : st.iStatus)));
    if (st.iQualifier != 0)
        reply.listRecord.append(KQQualifier(std::uint8_t(st.iQualifier)));
    for (std::uint16_t usCode : st.listError)
        reply.listRecord.append(KQError(usCode));
    for (std::uint16_t usCode : st.listWarning)
        reply.listRecord.append(KQWarning(usCode));
    reply.listRecord.append(KQToner(std::uint8_t(st.iToner)));

    unsigned char szSN[4];
    std::memcpy(szSN, baRequest.constData() + c_iKQSNOffset, sizeof(szSN));
    if (st.bWrongSN)
        StepSN(szSN);
    QByteArray baFrame = BuildKQReplyFrame(szSN, reply);
    if (st.bBadCRC)
        baFrame[c_iKQCRCOffset] = char(baFrame[c_iKQCRCOffset] ^ 0xFF);
    return baFrame;
}

// A printer of one family does not understand the other family's request.
QByteArray BuiltAnswer(const stSimState &st, enDatagramKind enKind, const QByteArray &baRequest)
{
    if (enKind == KIND_STATUS_STANDARD && st.enLayout == LAYOUT_STANDARD)
        return StandardAnswer(st);
    if (enKind == KIND_STATUS_KQ && st.enLayout == LAYOUT_KQ)
        return KQAnswer(st, baRequest);
    return {};
}

// The answer to a status request; empty when the printer keeps quiet.
QByteArray Answer(const stSimState &st, enDatagramKind enKind, const QByteArray &baRequest)
{
    if (st.bSilent)
        return {};
    const QByteArray ba = st.baReplyFixed.isEmpty() ? BuiltAnswer(st, enKind, baRequest) : st.baReplyFixed;
    return st.bShort ? ba.left(c_iShortReply) : ba;
}

class SimPrinter
{
public:
    explicit SimPrinter(const stOptions &opt) : m_stOptions(opt), m_stState(opt.stBase) {}
    ~SimPrinter()
    {
        if (m_iSocket >= 0)
            ::close(m_iSocket);
        if (m_iLogFd >= 0)
            ::close(m_iLogFd);
    }
    SimPrinter(const SimPrinter &) = delete;
    SimPrinter &operator=(const SimPrinter &) = delete;

    bool Open();
    void Run();

private:
    int PollTimeoutMs() const;
    void ReceiveOne();
    void LogDatagram(const sockaddr_in &addrPeer, enDatagramKind enKind, const QByteArray &ba) const;
    void RefreshState();
    void Queue(const sockaddr_in &addrPeer, const QByteArray &baReply);
    void SendDue();
    void Send(const stPendingReply &reply) const;

    const stOptions m_stOptions;
    stSimState m_stState;
    stFileStamp m_stControlStamp;
    std::deque<stPendingReply> m_listPending;
    int m_iSocket = -1;
    int m_iLogFd = -1;
};

// The log appears only once the socket is bound, so a test that sees it may send.
bool SimPrinter::Open()
{
    m_iSocket = BoundSocket(m_stOptions.uiAddress, m_stOptions.usPort);
    if (m_iSocket < 0)
        return false;
    m_iLogFd = ::open(QFile::encodeName(m_stOptions.strLog).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                      0644);
    if (m_iLogFd < 0) {
        std::fprintf(stderr, "printer_sim: cannot open the log %s: %s\n", m_stOptions.strLog.toUtf8().constData(),
                     std::strerror(errno));
        return false;
    }
    RefreshState();
    return true;
}

void SimPrinter::Run()
{
    while (!g_bSimQuit) {
        pollfd pfd = {m_iSocket, POLLIN, 0};
        if (::poll(&pfd, 1, PollTimeoutMs()) > 0)
            ReceiveOne();
        SendDue();
    }
}

int SimPrinter::PollTimeoutMs() const
{
    if (m_listPending.empty())
        return c_iPollTickMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_listPending.front().tpDue - Clock::now());
    return int(std::clamp<long long>(left.count(), 0, c_iPollTickMs));
}

void SimPrinter::ReceiveOne()
{
    char szBuffer[c_iDatagramMax];
    sockaddr_in addrPeer = {};
    socklen_t iPeerLength = sizeof(addrPeer);
    const ssize_t iLength = ::recvfrom(m_iSocket, szBuffer, sizeof(szBuffer), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&addrPeer), &iPeerLength);
    if (iLength < 0)
        return;
    const QByteArray baDatagram(szBuffer, int(iLength));
    const enDatagramKind enKind = Classify(baDatagram);
    LogDatagram(addrPeer, enKind, baDatagram);
    if (enKind != KIND_STATUS_STANDARD && enKind != KIND_STATUS_KQ)
        return;
    RefreshState();
    const QByteArray baReply = Answer(m_stState, enKind, baDatagram);
    if (!baReply.isEmpty())
        Queue(addrPeer, baReply);
}

// One whole line per write, so a test reading the log never sees half a line.
void SimPrinter::LogDatagram(const sockaddr_in &addrPeer, enDatagramKind enKind, const QByteArray &ba) const
{
    const QByteArray baLine = QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + ' ' +
                              AddressText(ntohl(addrPeer.sin_addr.s_addr)).toLatin1() + ':' +
                              QByteArray::number(ntohs(addrPeer.sin_port)) + ' ' + c_szKindName[enKind] + ' ' +
                              ba.toHex() + '\n';
    if (::write(m_iLogFd, baLine.constData(), std::size_t(baLine.size())) != baLine.size())
        std::fprintf(stderr, "printer_sim: cannot write the log: %s\n", std::strerror(errno));
}

// Settings from the command line, then the control file over them: a key dropped
// from the file falls back to its command-line value.
void SimPrinter::RefreshState()
{
    const stFileStamp stStamp = StampOf(m_stOptions.strControl);
    if (SameStamp(stStamp, m_stControlStamp))
        return;
    m_stControlStamp = stStamp;
    m_stState = m_stOptions.stBase;
    QFile file(m_stOptions.strControl);
    if (!stStamp.bExists || !file.open(QIODevice::ReadOnly))
        return;
    const QByteArray baText = file.read(c_iControlFileMax + 1);
    if (baText.size() > c_iControlFileMax) {
        std::fprintf(stderr, "printer_sim: control file larger than %lld bytes, ignored\n",
                     static_cast<long long>(c_iControlFileMax));
        return;
    }
    ApplyControlText(m_stState, baText);
}

void SimPrinter::Queue(const sockaddr_in &addrPeer, const QByteArray &baReply)
{
    if (int(m_listPending.size()) >= c_iPendingMax) {
        std::fprintf(stderr, "printer_sim: too many answers waiting, one dropped\n");
        return;
    }
    const Clock::time_point tpDue = Clock::now() + std::chrono::milliseconds(m_stState.iDelayMs);
    const stPendingReply reply = {tpDue, addrPeer, m_stState.uiReplyFrom, baReply};
    // Delays may change between requests: keep the queue in the order of sending.
    const auto it = std::upper_bound(m_listPending.begin(), m_listPending.end(), tpDue,
                                     [](Clock::time_point t, const stPendingReply &r) { return t < r.tpDue; });
    m_listPending.insert(it, reply);
}

void SimPrinter::SendDue()
{
    const Clock::time_point now = Clock::now();
    while (!m_listPending.empty() && m_listPending.front().tpDue <= now) {
        Send(m_listPending.front());
        m_listPending.pop_front();
    }
}

void SimPrinter::Send(const stPendingReply &reply) const
{
    int iFd = m_iSocket;
    if (reply.uiFrom != 0)
        iFd = BoundSocket(reply.uiFrom, 0);
    if (iFd < 0)
        return;
    const ssize_t iSent = ::sendto(iFd, reply.baReply.constData(), std::size_t(reply.baReply.size()), 0,
                                   reinterpret_cast<const sockaddr *>(&reply.addrPeer), sizeof(reply.addrPeer));
    if (iSent != reply.baReply.size())
        std::fprintf(stderr, "printer_sim: cannot send the answer: %s\n", std::strerror(errno));
    if (iFd != m_iSocket)
        ::close(iFd);
}
}  // namespace

int main(int argc, char **argv)
{
    return RunSimulator<SimPrinter, stOptions>(argc, argv, ParseOptions, PrintUsage);
}
