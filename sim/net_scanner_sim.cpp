// A network scanner for the tests, the demo and the benchmark. On one loopback address it
// runs the scanner's three services: attribute queries (port 5000), HTTP (port 80: scan
// post, abort, capabilities, feeder status) and the scan data stream (port 2080). How it
// answers comes from options and from a control file that it reads again whenever the
// file changes; every request it receives goes into a log byte for byte, so that a test
// can see exactly what the daemon sent.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "NetScanPattern.h"
#include "SimAddress.h"
#include "SimProgram.h"

namespace
{
constexpr unsigned short c_usDefaultOslPort = 5000;
constexpr unsigned short c_usDefaultHttpPort = 80;
constexpr unsigned short c_usDefaultDataPort = 2080;
constexpr int c_iListenBacklog = 16;
constexpr int c_iPollTickMs = 100;            // how late a stop signal may be noticed
constexpr int c_iRequestMax = 64 * 1024;      // far above any request the daemon sends
constexpr int c_iReadChunk = 4096;
constexpr long c_lControlFileMax = 64 * 1024;
constexpr int c_iBlockMax = 999999;           // six decimal digits in a block header
constexpr long long c_llPageMax = 1LL << 40;
constexpr int c_iPagesMax = 10000;
constexpr int c_iDelayMaxMs = 60000;
constexpr int c_iDataLineSize = 18;
constexpr int c_iFirstHeaderSize = 20;
constexpr int c_iHeaderTextMax = 32;          // room for any int, though lengths have six digits

constexpr int c_iResultBusy = 91;             // a scan post's RESULT while a job runs

using KeyValues = std::vector<std::pair<std::string, std::string>>;

const KeyValues c_listDefaultCaps = {
    {"DUPLEX", "true"},     {"COLOR", "COLOR"},        {"MINRES", "75"},       {"MAXRES", "1200"},
    {"WIDTH_FORMAT", "2"},  {"FAMILY", "3"},           {"PERMPROFILES", "false"}, {"PROFILE", "ENABLED"},
    {"MAX_WIDTH", "2550"},  {"MAX_HEIGHT", "4200"},    {"BASIC_RESOLUTION", "300"},
};

struct stSimState
{
    int iResult = 0;                 // the scan post's RESULT
    bool bNoResult = false;          // a post reply without any RESULT line
    char cAdf = '2';                 // the feeder status reply's last character
    KeyValues listCaps = c_listDefaultCaps;
    int iPages = 2;
    long long llPageBytes = 100000;
    std::vector<long long> listPageSizes;  // when set, one size per page instead
    int iBlockBytes = 32768;
    int iBlockDelayMs = 0;
    long long llCancelAfter = -1;    // JOBCANCEL once this many image bytes went out
    long long llCutAfter = -1;       // the connection drops inside the block that crosses this
    bool bKeepAlive = false;         // HTTP connections stay open after a reply
    long long llOslLength = -1;      // the reply length announced, when not the true one
    bool bStreamUnposted = false;    // the data service streams a job even without a post
    bool bEmptyBlock = false;        // each page's data starts with a block of length 0
    std::string strPageFile;         // when set, every page is this file's bytes (e.g. a JPEG)
};

struct stOptions
{
    std::uint32_t uiAddress = 0;
    unsigned short ausPort[3] = {c_usDefaultOslPort, c_usDefaultHttpPort, c_usDefaultDataPort};
    std::string strControl;
    std::string strLog;
    stSimState stBase;
};

enum enService
{
    SERVICE_OSL,
    SERVICE_HTTP,
    SERVICE_DATA,
    SERVICE_COUNT,
};

bool ParseNumber(const std::string &str, long long llMin, long long llMax, long long *pllValue)
{
    if (str.empty() || str.size() > 15 || str.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long ll = std::stoll(str);
    if (ll < llMin || ll > llMax)
        return false;
    *pllValue = ll;
    return true;
}

bool ParseInt(const std::string &str, int iMin, int iMax, int *piValue)
{
    long long ll = 0;
    if (!ParseNumber(str, iMin, iMax, &ll))
        return false;
    *piValue = int(ll);
    return true;
}

bool ParseFlag(const std::string &str, bool *pbValue)
{
    int i = 0;
    if (!ParseInt(str, 0, 1, &i))
        return false;
    *pbValue = i == 1;
    return true;
}

// -1 switches a byte limit off.
bool ParseLimit(const std::string &str, long long *pllValue)
{
    if (str == "-1") {
        *pllValue = -1;
        return true;
    }
    return ParseNumber(str, 0, c_llPageMax * c_iPagesMax, pllValue);
}

bool ParseSizes(const std::string &str, std::vector<long long> *pList)
{
    std::vector<long long> list;
    std::stringstream ss(str);
    std::string strPart;
    while (std::getline(ss, strPart, ',')) {
        long long ll = 0;
        if (!ParseNumber(strPart, 0, c_llPageMax, &ll) || int(list.size()) >= c_iPagesMax)
            return false;
        list.push_back(ll);
    }
    *pList = list;
    return true;
}

bool ParseResult(const std::string &str, stSimState &st)
{
    st.bNoResult = str == "none";
    return st.bNoResult || ParseInt(str, 0, 999, &st.iResult);
}

bool SetCap(stSimState &st, const std::string &strKey, const std::string &strValue)
{
    for (auto &cap : st.listCaps) {
        if (cap.first == strKey) {
            cap.second = strValue;
            return true;
        }
    }
    st.listCaps.emplace_back(strKey, strValue);
    return true;
}

struct stSetting
{
    const char *szKey;
    bool (*pfnApply)(stSimState &st, const std::string &strValue);
};

const stSetting c_astSettings[] = {
    {"result", [](stSimState &st, const std::string &v) { return ParseResult(v, st); }},
    {"adf", [](stSimState &st, const std::string &v) { st.cAdf = v.empty() ? ' ' : v[0]; return v.size() == 1; }},
    {"caps", [](stSimState &st, const std::string &v) { st.listCaps.clear(); return v == "none"; }},
    {"pages", [](stSimState &st, const std::string &v) { return ParseInt(v, 0, c_iPagesMax, &st.iPages); }},
    {"page_bytes", [](stSimState &st, const std::string &v) { return ParseNumber(v, 0, c_llPageMax, &st.llPageBytes); }},
    {"page_sizes", [](stSimState &st, const std::string &v) { return ParseSizes(v, &st.listPageSizes); }},
    {"block_bytes", [](stSimState &st, const std::string &v) { return ParseInt(v, 1, c_iBlockMax, &st.iBlockBytes); }},
    {"block_delay_ms", [](stSimState &st, const std::string &v) { return ParseInt(v, 0, c_iDelayMaxMs, &st.iBlockDelayMs); }},
    {"cancel_after", [](stSimState &st, const std::string &v) { return ParseLimit(v, &st.llCancelAfter); }},
    {"cut_after", [](stSimState &st, const std::string &v) { return ParseLimit(v, &st.llCutAfter); }},
    {"keep_alive", [](stSimState &st, const std::string &v) { return ParseFlag(v, &st.bKeepAlive); }},
    {"osl_length", [](stSimState &st, const std::string &v) { return ParseLimit(v, &st.llOslLength); }},
    {"stream_unposted", [](stSimState &st, const std::string &v) { return ParseFlag(v, &st.bStreamUnposted); }},
    {"empty_block", [](stSimState &st, const std::string &v) { return ParseFlag(v, &st.bEmptyBlock); }},
    {"page_file", [](stSimState &st, const std::string &v) { st.strPageFile = v; return true; }},
};

std::string Trimmed(const std::string &str)
{
    const size_t nFirst = str.find_first_not_of(" \t\r");
    if (nFirst == std::string::npos)
        return {};
    return str.substr(nFirst, str.find_last_not_of(" \t\r") - nFirst + 1);
}

// "key=value"; "cap.KEY=value" sets one capability line.
bool ApplySetting(stSimState &st, const std::string &strLine)
{
    const size_t nEqual = strLine.find('=');
    if (nEqual == std::string::npos)
        return false;
    const std::string strKey = Trimmed(strLine.substr(0, nEqual));
    const std::string strValue = Trimmed(strLine.substr(nEqual + 1));
    if (strKey.rfind("cap.", 0) == 0 && strKey.size() > 4)
        return SetCap(st, strKey.substr(4), strValue);
    for (const stSetting &setting : c_astSettings) {
        if (strKey == setting.szKey)
            return setting.pfnApply(st, strValue);
    }
    return false;
}

// Blank lines and lines starting with '#' are skipped; a bad line is reported and the
// rest still apply, so a typo in a test does not freeze the scanner.
void ApplyControlText(stSimState &st, const std::string &strText)
{
    std::stringstream ss(strText);
    std::string strLine;
    while (std::getline(ss, strLine)) {
        strLine = Trimmed(strLine);
        if (strLine.empty() || strLine[0] == '#')
            continue;
        if (!ApplySetting(st, strLine))
            std::fprintf(stderr, "net_scanner_sim: ignoring control line '%s'\n", strLine.c_str());
    }
}

void PrintUsage()
{
    std::fprintf(stderr,
                 "usage: net_scanner_sim --address 127.0.0.N [--osl-port P] [--http-port P] [--data-port P]\n"
                 "                       [--control FILE] [--log FILE] [--set key=value]...\n"
                 "  the address must lie in 127.0.0.0/8, from 127.0.0.2 up\n"
                 "  settings: result=N|none adf=C cap.KEY=V caps=none pages=N page_bytes=N page_sizes=A,B,..\n"
                 "            block_bytes=N block_delay_ms=N cancel_after=N cut_after=N keep_alive=0|1\n"
                 "            osl_length=N stream_unposted=0|1 empty_block=0|1 page_file=PATH\n");
}

bool ApplyOption(stOptions &opt, std::vector<std::string> &listSet, const std::string &strName,
                 const std::string &strValue)
{
    static const char *const c_aszPortOptions[SERVICE_COUNT] = {"--osl-port", "--http-port", "--data-port"};
    for (int i = 0; i < SERVICE_COUNT; ++i) {
        int iPort = 0;
        if (strName == c_aszPortOptions[i]) {
            if (!ParseInt(strValue, 1, 0xFFFF, &iPort))
                return false;
            opt.ausPort[i] = static_cast<unsigned short>(iPort);
            return true;
        }
    }
    if (strName == "--address")
        return ParseSimAddress(strValue.c_str(), &opt.uiAddress);
    if (strName == "--control")
        opt.strControl = strValue;
    else if (strName == "--log")
        opt.strLog = strValue;
    else if (strName == "--set")
        listSet.push_back(strValue);
    else
        return false;
    return true;
}

bool ParseOptions(int argc, char **argv, stOptions &opt)
{
    std::vector<std::string> listSet;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !ApplyOption(opt, listSet, argv[i], argv[i + 1])) {
            std::fprintf(stderr, "net_scanner_sim: bad option %s %s\n", argv[i], i + 1 < argc ? argv[i + 1] : "");
            return false;
        }
    }
    if (opt.uiAddress == 0) {
        std::fprintf(stderr, "net_scanner_sim: --address is required\n");
        return false;
    }
    for (const std::string &strSet : listSet) {
        if (!ApplySetting(opt.stBase, strSet)) {
            std::fprintf(stderr, "net_scanner_sim: bad setting %s\n", strSet.c_str());
            return false;
        }
    }
    return true;
}

std::string AddressText(std::uint32_t uiAddress)
{
    in_addr addr {htonl(uiAddress)};
    char szText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, szText, sizeof(szText));
    return szText;
}

int ListeningSocket(std::uint32_t uiAddress, unsigned short usPort)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int iReuse = 1;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    addr.sin_addr.s_addr = htonl(uiAddress);
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iReuse, sizeof(iReuse)) == 0 &&
        bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0 && listen(fd, c_iListenBacklog) == 0)
        return fd;
    std::fprintf(stderr, "net_scanner_sim: cannot listen on %s:%u: %s\n", AddressText(uiAddress).c_str(),
                 unsigned(usPort), std::strerror(errno));
    if (fd >= 0)
        close(fd);
    return -1;
}

bool SendAll(int fd, const void *pData, size_t nCount)
{
    const auto *p = static_cast<const char *>(pData);
    while (nCount > 0) {
        const ssize_t r = send(fd, p, nCount, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        nCount -= size_t(r);
    }
    return true;
}

bool SendText(int fd, const std::string &str)
{
    return SendAll(fd, str.data(), str.size());
}

bool RecvExact(int fd, void *pData, size_t nCount)
{
    auto *p = static_cast<char *>(pData);
    while (nCount > 0) {
        const ssize_t r = recv(fd, p, nCount, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        nCount -= size_t(r);
    }
    return true;
}

std::string HexOf(const std::string &str)
{
    static const char c_szHex[] = "0123456789abcdef";
    std::string strHex;
    strHex.reserve(str.size() * 2);
    for (unsigned char c : str) {
        strHex += c_szHex[c >> 4];
        strHex += c_szHex[c & 0xF];
    }
    return strHex;
}

// A value out of "key=value" pairs joined by '&'.
std::string FormValue(const std::string &strBody, const std::string &strKey)
{
    std::stringstream ss(strBody);
    std::string strPair;
    while (std::getline(ss, strPair, '&')) {
        if (strPair.rfind(strKey + "=", 0) == 0)
            return strPair.substr(strKey.size() + 1);
    }
    return {};
}

// The text between szOpen and the next szClose, after the first szOpen.
std::string Between(const std::string &str, const std::string &strOpen, const std::string &strClose)
{
    const size_t nStart = str.find(strOpen);
    if (nStart == std::string::npos)
        return {};
    const size_t nEnd = str.find(strClose, nStart + strOpen.size());
    return nEnd == std::string::npos ? std::string() : str.substr(nStart + strOpen.size(), nEnd - nStart - strOpen.size());
}

std::string OslValue(const std::string &strAttribute)
{
    if (strAttribute == "familyType")
        return "z907mfp";
    if (strAttribute == "getList")
        return "<profile name=\"Default\"/>";
    if (strAttribute == "summary")
        return "<scanner duplex=\"true\" color=\"true\" maxres=\"1200\"/>";
    return {};
}

std::string HttpReply(const char *szStatus, const std::string &strBody, bool bKeepAlive)
{
    return std::string("HTTP/1.1 ") + szStatus + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(strBody.size()) + "\r\nConnection: " + (bKeepAlive ? "Keep-Alive" : "close") + "\r\n\r\n" +
           strBody;
}

// A job's image bytes come out of one period of the pattern, laid out long enough that
// any block can be sent from it in one piece.
class PatternBuffer
{
public:
    PatternBuffer() : m_vecBytes(size_t(c_iNetScanPatternPeriod + c_iBlockMax))
    {
        for (size_t i = 0; i < m_vecBytes.size(); ++i)
            m_vecBytes[i] = NetScanPatternValue(int(i % c_iNetScanPatternPeriod));
    }
    const unsigned char *At(int iPage, long long llOffset) const
    {
        return m_vecBytes.data() + NetScanPatternIndex(iPage, llOffset);
    }

private:
    std::vector<unsigned char> m_vecBytes;
};

class SimScanner;

// Streams one job on a data connection.
class JobStream
{
public:
    JobStream(SimScanner &scanner, int fd, const stSimState &st, int iGeneration)
        : m_scanner(scanner), m_fd(fd), m_st(st), m_iGeneration(iGeneration)
    {
    }
    void Run();

private:
    bool Stopped() const;
    bool Line(const char *szWord);
    bool Header(const char *szTag, int iLength, bool bSpacePadded);
    bool FirstBlock();
    bool PageHeader(int iPage, long long llBytes);
    bool Page(int iPage, long long llBytes);
    bool Wait();
    long long PageBytes(int iPage) const;
    const unsigned char *PageData(int iPage, long long llOffset) const;

    SimScanner &m_scanner;
    int m_fd;
    const stSimState m_st;
    const int m_iGeneration;
    long long m_llSent = 0;  // image bytes of the job so far
    std::string m_strPageFile;  // the contents of the page file, when one is set
};

class SimScanner
{
public:
    explicit SimScanner(const stOptions &opt) : m_opt(opt), m_st(opt.stBase) {}
    ~SimScanner();
    SimScanner(const SimScanner &) = delete;
    SimScanner &operator=(const SimScanner &) = delete;

    bool Open();
    void Run();

    void Log(const char *szService, const std::string &strBytes);
    stSimState State();
    bool Aborted(int iGeneration);
    const PatternBuffer &Pattern() const { return m_pattern; }

private:
    struct stConnection
    {
        std::thread thread;
        int fd = -1;
        std::atomic<bool> bDone {false};
    };

    void Accept(enService enWhich);
    void ReapFinished(bool bAll);
    void ServeOsl(int fd);
    void ServeHttp(int fd);
    void ServeData(int fd);
    std::string Route(const std::string &strRequest, const std::string &strBody);
    std::string ScanPost(const std::string &strBody);

    const stOptions m_opt;
    PatternBuffer m_pattern;
    int m_afdListen[SERVICE_COUNT] = {-1, -1, -1};
    int m_fdLog = -1;
    std::list<std::unique_ptr<stConnection>> m_listConnection;

    std::mutex m_mutex;  // guards what follows
    stSimState m_st;
    std::string m_strControlText;
    bool m_bJobPosted = false;
    int m_iJobsStreaming = 0;
    int m_iAbortGeneration = 0;
};

bool JobStream::Stopped() const
{
    return g_bSimQuit || m_scanner.Aborted(m_iGeneration);
}

// Control lines: the word, spaces, a line feed.
bool JobStream::Line(const char *szWord)
{
    char acLine[c_iDataLineSize + 1];
    std::snprintf(acLine, sizeof(acLine), "%-17s\n", szWord);
    return SendAll(m_fd, acLine, c_iDataLineSize);
}

bool JobStream::Header(const char *szTag, int iLength, bool bSpacePadded)
{
    char acHeader[c_iHeaderTextMax];
    std::snprintf(acHeader, sizeof(acHeader), bSpacePadded ? "%-6.6s%6d     \n" : "%-6.6s%06d     \n", szTag, iLength);
    return SendAll(m_fd, acHeader, c_iDataLineSize);
}

bool JobStream::FirstBlock()
{
    const std::string strInfo = "NUMPAGES=" + std::to_string(m_st.listPageSizes.empty() ? m_st.iPages
                                                                                         : int(m_st.listPageSizes.size())) +
                                "\r\nROTATE=0\r\n";
    char acHeader[c_iHeaderTextMax];
    std::snprintf(acHeader, sizeof(acHeader), "JOBSTART%06d     \n", int(strInfo.size()));
    return SendAll(m_fd, acHeader, c_iFirstHeaderSize) && SendText(m_fd, strInfo);
}

bool JobStream::PageHeader(int iPage, long long llBytes)
{
    const std::string strInfo = "PAGE=" + std::to_string(iPage) + "\r\nSIZE=" + std::to_string(llBytes) + "\r\n";
    return Line("NEWFILE") && Header("PAGEHD", int(strInfo.size()), true) && SendText(m_fd, strInfo) &&
           (!m_st.bEmptyBlock || Header("DATA", 0, false));
}

bool JobStream::Wait()
{
    for (int iWaited = 0; iWaited < m_st.iBlockDelayMs && !Stopped(); iWaited += c_iPollTickMs / 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(c_iPollTickMs / 10, m_st.iBlockDelayMs - iWaited)));
    return !Stopped();
}

long long JobStream::PageBytes(int iPage) const
{
    if (!m_st.strPageFile.empty())
        return (long long)m_strPageFile.size();
    return m_st.listPageSizes.empty() ? m_st.llPageBytes : m_st.listPageSizes[size_t(iPage)];
}

const unsigned char *JobStream::PageData(int iPage, long long llOffset) const
{
    if (!m_st.strPageFile.empty())
        return reinterpret_cast<const unsigned char *>(m_strPageFile.data()) + llOffset;
    return m_scanner.Pattern().At(iPage, llOffset);
}

// False once the job ended: cancelled, cut, aborted or broken.
bool JobStream::Page(int iPage, long long llBytes)
{
    if (!PageHeader(iPage, llBytes))
        return false;
    for (long long llOffset = 0; llOffset < llBytes;) {
        if (!Wait())
            return false;
        long long llBlock = std::min<long long>(m_st.iBlockBytes, llBytes - llOffset);
        if (m_st.llCancelAfter >= 0)
            llBlock = std::min(llBlock, m_st.llCancelAfter - m_llSent);
        if (llBlock <= 0) {
            Line("JOBCANCEL");
            return false;
        }
        const bool bCut = m_st.llCutAfter >= 0 && m_llSent + llBlock > m_st.llCutAfter;
        const long long llSend = bCut ? m_st.llCutAfter - m_llSent : llBlock;
        if (!Header("DATA", int(llBlock), false) || !SendAll(m_fd, PageData(iPage, llOffset), size_t(llSend)))
            return false;
        if (bCut)
            return false;
        llOffset += llBlock;
        m_llSent += llBlock;
    }
    return true;
}

void JobStream::Run()
{
    if (!m_st.strPageFile.empty()) {
        std::ifstream in(m_st.strPageFile, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        m_strPageFile = ss.str();
        if (!in || (long long)m_strPageFile.size() > c_llPageMax)
            std::fprintf(stderr, "net_scanner_sim: cannot read the page file %s\n", m_st.strPageFile.c_str());
    }
    if (!FirstBlock())
        return;
    const int iPages = m_st.listPageSizes.empty() ? m_st.iPages : int(m_st.listPageSizes.size());
    for (int iPage = 0; iPage < iPages; ++iPage) {
        if (m_st.llCancelAfter >= 0 && m_llSent >= m_st.llCancelAfter) {
            Line("JOBCANCEL");
            return;
        }
        if (!Page(iPage, PageBytes(iPage)))
            return;
    }
    Line(m_st.llCancelAfter >= 0 && m_llSent >= m_st.llCancelAfter ? "JOBCANCEL" : "JOBDONE");
}

SimScanner::~SimScanner()
{
    ReapFinished(true);
    for (int fd : m_afdListen) {
        if (fd >= 0)
            close(fd);
    }
    if (m_fdLog >= 0)
        close(m_fdLog);
}

// The log appears only once every service listens, so a test that sees it may connect.
bool SimScanner::Open()
{
    for (int i = 0; i < SERVICE_COUNT; ++i) {
        m_afdListen[i] = ListeningSocket(m_opt.uiAddress, m_opt.ausPort[i]);
        if (m_afdListen[i] < 0)
            return false;
    }
    if (m_opt.strLog.empty())
        return true;
    m_fdLog = open(m_opt.strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fdLog < 0)
        std::fprintf(stderr, "net_scanner_sim: cannot open the log %s: %s\n", m_opt.strLog.c_str(), std::strerror(errno));
    return m_fdLog >= 0;
}

void SimScanner::Run()
{
    while (!g_bSimQuit) {
        pollfd apfd[SERVICE_COUNT];
        for (int i = 0; i < SERVICE_COUNT; ++i)
            apfd[i] = {m_afdListen[i], POLLIN, 0};
        if (poll(apfd, SERVICE_COUNT, c_iPollTickMs) > 0) {
            for (int i = 0; i < SERVICE_COUNT; ++i) {
                if (apfd[i].revents & POLLIN)
                    Accept(enService(i));
            }
        }
        ReapFinished(false);
    }
}

void SimScanner::Accept(enService enWhich)
{
    const int fd = accept4(m_afdListen[enWhich], nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    auto pConn = std::make_unique<stConnection>();
    pConn->fd = fd;
    stConnection *p = pConn.get();
    pConn->thread = std::thread([this, enWhich, p] {
        if (enWhich == SERVICE_OSL)
            ServeOsl(p->fd);
        else if (enWhich == SERVICE_HTTP)
            ServeHttp(p->fd);
        else
            ServeData(p->fd);
        p->bDone = true;
    });
    m_listConnection.push_back(std::move(pConn));
}

// Connections are closed here only, after their thread ended, so that a stop can wake a
// thread blocked on its socket without the number going to anyone else.
void SimScanner::ReapFinished(bool bAll)
{
    for (auto it = m_listConnection.begin(); it != m_listConnection.end();) {
        stConnection &conn = **it;
        if (!bAll && !conn.bDone) {
            ++it;
            continue;
        }
        shutdown(conn.fd, SHUT_RDWR);
        conn.thread.join();
        close(conn.fd);
        it = m_listConnection.erase(it);
    }
}

// One line per request, written whole, so a reader never sees half a line.
void SimScanner::Log(const char *szService, const std::string &strBytes)
{
    if (m_fdLog < 0)
        return;
    const std::string strLine = std::string(szService) + ' ' + HexOf(strBytes) + '\n';
    std::lock_guard<std::mutex> lock(m_mutex);
    if (write(m_fdLog, strLine.data(), strLine.size()) != ssize_t(strLine.size()))
        std::fprintf(stderr, "net_scanner_sim: cannot write the log: %s\n", std::strerror(errno));
}

// Settings from the command line, then the control file over them. The file is small
// and read whole each time: two changes within one tick of the file system's clock
// would look alike by their time stamps.
stSimState SimScanner::State()
{
    std::string strText;
    struct stat info {};
    if (!m_opt.strControl.empty() && stat(m_opt.strControl.c_str(), &info) == 0 && info.st_size <= c_lControlFileMax) {
        std::ifstream in(m_opt.strControl);
        std::stringstream ss;
        ss << in.rdbuf();
        strText = ss.str();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (strText != m_strControlText) {
        m_strControlText = strText;
        m_st = m_opt.stBase;
        ApplyControlText(m_st, strText);
    }
    return m_st;
}

bool SimScanner::Aborted(int iGeneration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_iAbortGeneration != iGeneration;
}

void SimScanner::ServeOsl(int fd)
{
    std::uint32_t uiLength = 0;
    if (!RecvExact(fd, &uiLength, sizeof(uiLength)) || ntohl(uiLength) > std::uint32_t(c_iRequestMax))
        return;
    std::string strText(ntohl(uiLength), '\0');
    if (!RecvExact(fd, &strText[0], strText.size()))
        return;
    Log("osl", std::string(reinterpret_cast<const char *>(&uiLength), sizeof(uiLength)) + strText);
    const stSimState st = State();
    const std::string strAttribute = Between(strText, "<arg name=\"attribName\">", "</arg>");
    const std::string strReply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<methodResponse requestID=\"" +
                                 Between(strText, "requestID=\"", "\"") + "\">\r\n  <value name=\"" + strAttribute +
                                 "\">" + OslValue(strAttribute) + "</value>\r\n</methodResponse>\r\n";
    const std::uint32_t uiAnnounced =
        htonl(std::uint32_t(st.llOslLength >= 0 ? st.llOslLength : (long long)strReply.size()));
    if (SendAll(fd, &uiAnnounced, sizeof(uiAnnounced)))
        SendText(fd, strReply);
}

// Requests end after their header and the body its Content-Length names; whatever else
// came with them in the same piece (the capabilities request has lines after its empty
// line) belongs to them too.
void SimScanner::ServeHttp(int fd)
{
    std::string strIn;
    char acChunk[c_iReadChunk];
    do {
        size_t nHeaderEnd;
        while ((nHeaderEnd = strIn.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t r = recv(fd, acChunk, sizeof(acChunk), 0);
            if (r <= 0 || strIn.size() > size_t(c_iRequestMax))
                return;
            strIn.append(acChunk, size_t(r));
        }
        const long long llBody = std::atoll(Between(strIn.substr(0, nHeaderEnd + 2), "Content-Length: ", "\r\n").c_str());
        const size_t nEnd = nHeaderEnd + 4 + size_t(std::clamp<long long>(llBody, 0, c_iRequestMax));
        while (strIn.size() < nEnd) {
            const ssize_t r = recv(fd, acChunk, sizeof(acChunk), 0);
            if (r <= 0)
                return;
            strIn.append(acChunk, size_t(r));
        }
        ssize_t r;
        while ((r = recv(fd, acChunk, sizeof(acChunk), MSG_DONTWAIT)) > 0)
            strIn.append(acChunk, size_t(r));
        Log("http", strIn);
        const std::string strReply = Route(strIn.substr(0, nHeaderEnd), strIn.substr(nHeaderEnd + 4, nEnd - nHeaderEnd - 4));
        strIn.clear();
        if (!SendText(fd, strReply))
            return;
    } while (State().bKeepAlive);
}

std::string SimScanner::Route(const std::string &strHead, const std::string &strBody)
{
    const stSimState st = State();
    const std::string strLine = strHead.substr(0, strHead.find("\r\n"));
    if (strLine == "POST /netscan/post HTTP/1.1")
        return HttpReply("200 OK", ScanPost(strBody), st.bKeepAlive);
    if (strLine == "GET /netscan/capabilites HTTP/1.1") {
        std::string strCaps;
        for (const auto &cap : st.listCaps)
            strCaps += cap.first + "=" + cap.second + "\r\n";
        return HttpReply("200 OK", strCaps, st.bKeepAlive);
    }
    if (strLine == "POST /cgi-bin/dynamic/printer/netscan/adfStatus.html HTTP/1.1")
        return HttpReply("200 OK", std::string("ADFSTATUS=") + st.cAdf, st.bKeepAlive);
    return HttpReply("404 Not Found", "", st.bKeepAlive);
}

// A start arms the data service for one job; an abort ends the job that streams.
std::string SimScanner::ScanPost(const std::string &strBody)
{
    const stSimState st = State();
    const std::string strType = FormValue(strBody, "SCANTYPE");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (strType == "4") {
        ++m_iAbortGeneration;
        m_bJobPosted = false;
        return "RESULT=0\r\n";
    }
    if (strType != "2")
        return "RESULT=1\r\n";
    if (st.bNoResult)
        return "STATUS=READY\r\n";
    // One job at a time, as on the real device.
    if (m_bJobPosted || m_iJobsStreaming > 0)
        return "RESULT=" + std::to_string(c_iResultBusy) + "\r\n";
    m_bJobPosted = st.iResult == 0;
    return "RESULT=" + std::to_string(st.iResult) + "\r\n";
}

void SimScanner::ServeData(int fd)
{
    Log("data-connect", "");
    const stSimState st = State();
    int iGeneration = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bJobPosted && !st.bStreamUnposted)
            return;
        m_bJobPosted = false;
        iGeneration = m_iAbortGeneration;
        ++m_iJobsStreaming;
    }
    JobStream(*this, fd, st, iGeneration).Run();
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_iJobsStreaming;
}

}  // namespace

int main(int argc, char **argv)
{
    return RunSimulator<SimScanner, stOptions>(argc, argv, ParseOptions, PrintUsage);
}
