#include "quarn_net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quarn_netparse.h"
#include "quarn_scanner.h"

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int c_iTcpTimeoutSec = 5;
constexpr int c_iRecvAttempts = 4;
constexpr int c_iOslBufSize = 8192;
constexpr int c_iOslRecvCalls = 10;
constexpr int c_iOslLengthSize = 4;
constexpr int c_iHttpBufSize = 8192;
constexpr int c_iHttpReplyWaitMs = c_iTcpTimeoutSec * 1000;
constexpr int c_iPostBodySize = 2048;
constexpr int c_iPostRecvCalls = 10;
constexpr useconds_t c_uPostRecvPauseUs = 1;
constexpr int c_iRequestSize = 4096;
constexpr int c_iDataConnectAttempts = 11;
constexpr useconds_t c_uDataConnectPauseUs = 500000;
constexpr int c_iPostValueSize = 256;
constexpr int c_iHostTextSize = INET_ADDRSTRLEN;
constexpr int c_iHeaderSize = 128;
constexpr unsigned c_uHostInterfaceFlags = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;

constexpr char c_szOslTemplate[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                   "<method name=\"getAttribute\" requestID=\"%d\">\r\n"
                                   "  <arg name=\"objName\">%s</arg>\r\n"
                                   "  <arg name=\"attribName\">%s</arg>\r\n"
                                   "</method>\r\n";
constexpr char c_szPostTemplate[] = "POST /netscan/post HTTP/1.1\r\n"
                                    "Connection: Keep-Alive\r\n"
                                    "Content-Type: application/x-www-form-urlencoded\r\n"
                                    "Accept: text/html, image/gif, image/jpeg, *;q=.2, */*; q=.2\r\n"
                                    "User-Agent: HttpScanConnection\r\n"
                                    "%s%s\r\n%s";
// The path is spelt as the scanner spells it, and the empty line after the host header
// is part of what the scanner expects.
constexpr char c_szCapsTemplate[] = "GET /netscan/capabilites HTTP/1.1\r\n"
                                    "Cache-Control: no-cache\r\n"
                                    "Pragma: no-cache\r\n"
                                    "User-Agent: Jav/1.6.0_18\r\n"
                                    "%s\r\n"
                                    "Connection: Keep-Alive\r\n"
                                    "Accept: text/html, image/gif, image/jpeg, *;q=.2, */*; q=.2\r\n"
                                    "Content-Type: application/x-www-form-urlencoded\r\n\n";
constexpr char c_szAdfTemplate[] = "POST /cgi-bin/dynamic/printer/netscan/adfStatus.html HTTP/1.1\r\n"
                                   "Connection: Keep-Alive\r\n"
                                   "Content-Type: application/x-www-form-urlencoded\r\n"
                                   "Accept: text/html, image/gif, image/jpeg, *;q=.2, */*; q=.2\r\n"
                                   "User-Agent: HttpScanConnection\r\n"
                                   "%s%s\r\n%s";
constexpr char c_szContentLengthHeader[] = "Content-Length: %d\r\n";
constexpr char c_szHostHeader[] = "Host: %s\r\n";
constexpr char c_szAbortBody[] = "SCANTYPE=4";
constexpr char c_szAdfBody[] = "GETADFSTATUS";
constexpr char c_szPostResultKey[] = "RESULT=";
constexpr char c_szLoopbackText[] = "127.0.0.1";

struct stOslQuery
{
    int iRequestId;
    const char *szObject;
    const char *szAttribute;
};

// Indexed by OSL_CMD_TYPE.
constexpr stOslQuery c_astOslQueries[] = {
    {10001, "system", "familyType"},
    {10002, "mfp.profileFactory", "getList"},
    {10003, "mfp.scanner", "summary"},
};

// Where the scanner takes the pages from, as the post names it.
enum enNetScanSource
{
    SCAN_SOURCE_ADF = 0,
    SCAN_SOURCE_FLATBED = 7,
};

struct stPostField
{
    const char *szKey;
    char szValue[c_iPostValueSize];
};

constexpr int c_iPostFields = 25;

// The scan post form, in the order the scanner reads it.
struct LSP_POST_CMD
{
    stPostField astField[c_iPostFields];
};

constexpr const char *c_aszPostKeys[c_iPostFields] = {
    "SCANTYPE",  "ADVCONTRAST", "BACKGROUNDREMOVAL", "COMPRESSION", "CONTRAST",     "DARKNESS",      "DEPTH",
    "DOCSOURCE", "EDGETOEDGE",  "IPADDRESS",         "JPEGQUALITY", "KEEPALIVE",    "NAME",          "ORIENTATION",
    "RESOLUTION", "SCANSOURCE", "SHARPNESS",         "START_NOW",   "TCPPORT",      "TYPE",          "SINGLEPAGE",
    "CUSTOM_WIDTH", "CUSTOM_HEIGHT", "OFFSETX",      "OFFSETY",
};

void SetText(stPostField &field, const char *szText)
{
    std::snprintf(field.szValue, sizeof(field.szValue), "%s", szText);
}

void SetNumber(stPostField &field, unsigned uValue)
{
    std::snprintf(field.szValue, sizeof(field.szValue), "%u", uValue);
}

const char *DepthText(uint8_t ucBitDepth)
{
    if (ucBitDepth == 1)
        return "other";
    return ucBitDepth == 8 ? "8" : "24";
}

void FillPostForm(const SettingInfo &info, bool bKQ, const char *szLogin, LSP_POST_CMD &form)
{
    for (int i = 0; i < c_iPostFields; ++i) {
        form.astField[i].szKey = c_aszPostKeys[i];
        form.astField[i].szValue[0] = '\0';
    }
    stPostField *f = form.astField;
    const bool bJpeg = bKQ || info.compType == COMPRESSION_JPEG;
    SetText(f[0], "2");
    SetNumber(f[1], info.ContrastParam);
    if (info.backgroundRemoval)
        SetNumber(f[2], info.backgroundRemovalParam);
    SetText(f[3], "JPEG");
    SetText(f[4], "MIXED");
    SetNumber(f[5], info.BrightnessParam);
    SetText(f[6], DepthText(info.bitDepth));
    SetText(f[7], "0");
    SetText(f[8], "0");
    SetText(f[9], c_szQuarnPostAddress);
    if (bJpeg)
        SetText(f[10], "70");
    SetText(f[11], "0");
    SetText(f[12], szLogin);
    SetText(f[13], "PORTRAIT");
    SetNumber(f[14], info.xResolution);
    SetNumber(f[15], info.feederEnabled ? SCAN_SOURCE_ADF : SCAN_SOURCE_FLATBED);
    SetText(f[16], "0");
    SetText(f[17], "1");
    SetNumber(f[18], c_usScanDataPort);
    SetText(f[19], bJpeg ? "JPEG" : "RAW");
    if (info.feederEnabled && info.isClient == 0)
        SetText(f[20], "TRUE");
    SetNumber(f[21], info.width);
    SetNumber(f[22], info.height);
    SetNumber(f[23], info.xStart);
    SetNumber(f[24], info.yStart);
}

// A request from its template and its filled-in parts: the length, or -1.
template <typename... Args>
int FormatText(char *szOut, int iSize, const char *szFormat, Args... args)
{
    const int iLen = std::snprintf(szOut, size_t(iSize), szFormat, args...);
    return iLen >= 0 && iLen < iSize ? iLen : -1;
}

// The headers that carry the body's length and the host, in the order the templates
// take them.
int FormatPostRequest(char (&szRequest)[c_iRequestSize], const char *szTemplate, const char *szHost,
                      const char *szBody)
{
    char szLength[c_iHeaderSize];
    char szHostHeader[c_iHeaderSize];
    if (FormatText(szLength, sizeof(szLength), c_szContentLengthHeader, int(std::strlen(szBody))) < 0 ||
        FormatText(szHostHeader, sizeof(szHostHeader), c_szHostHeader, szHost) < 0)
        return -1;
    return FormatText(szRequest, sizeof(szRequest), szTemplate, szLength, szHostHeader, szBody);
}

// The host's own address for the Host header; empty when it has none.
void HostAddressText(char (&szHost)[c_iHostTextSize])
{
    if (GetHostIPAddress(szHost, sizeof(szHost)) != 0)
        szHost[0] = '\0';
}

bool SendAll(int fd, const char *pData, int iCount)
{
    int iSent = 0;
    while (iSent < iCount) {
        const ssize_t r = send(fd, pData + iSent, size_t(iCount - iSent), MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        iSent += int(r);
    }
    return true;
}

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// One HTTP reply, NUL-terminated, of at most the buffer size less one: it ends when it is
// whole, when the scanner closes, when the buffer is full, or after the 5-second time-out.
// The length, or -1 when nothing arrived.
int RecvHttpReply(int fd, char (&szReply)[c_iHttpBufSize])
{
    int iLen = 0;
    szReply[0] = '\0';
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(c_iHttpReplyWaitMs);
    while (iLen < c_iHttpBufSize - 1 && !QuarnHttpReplyComplete(szReply, iLen)) {
        pollfd pfd {fd, POLLIN, 0};
        if (poll(&pfd, 1, RemainingMs(deadline)) <= 0)
            break;
        const ssize_t r = recv(fd, szReply + iLen, size_t(c_iHttpBufSize - 1 - iLen), MSG_DONTWAIT);
        if (r <= 0)
            break;
        iLen += int(r);
        szReply[iLen] = '\0';
    }
    return iLen > 0 ? iLen : -1;
}

// The post's reply as far as its "RESULT=": appended over at most 10 receives.
bool RecvPostReply(int fd, char (&szReply)[c_iHttpBufSize])
{
    int iLen = 0;
    szReply[0] = '\0';
    for (int iCall = 0; iCall < c_iPostRecvCalls && !std::strstr(szReply, c_szPostResultKey); ++iCall) {
        const ssize_t r = recv(fd, szReply + iLen, size_t(c_iHttpBufSize - 1 - iLen), 0);
        if (r < 0) {
            usleep(c_uPostRecvPauseUs);
            continue;
        }
        iLen += int(r);
        szReply[iLen] = '\0';
    }
    return std::strstr(szReply, c_szPostResultKey) != nullptr;
}

// Sends one request on a connection of its own and receives the reply: its length, or -1.
int HttpExchange(const char *szIP, const char *szRequest, int iRequestLen, char (&szReply)[c_iHttpBufSize])
{
    const int fd = quarn_init_tcp(szIP, c_usHttpPort);
    if (fd < 0)
        return -1;
    const int iLen = SendAll(fd, szRequest, iRequestLen) ? RecvHttpReply(fd, szReply) : -1;
    quarn_close_tcp(fd);
    return iLen;
}

void CloseDataConnection(QuarnSocket *pSocket)
{
    if (pSocket->tcpFromScanner >= 0)
        quarn_close_tcp(pSocket->tcpFromScanner);
    pSocket->tcpFromScanner = -1;
}

int ReadFromSocket(void *pContext, void *pData, int iCount)
{
    return quarn_tcp_recv_with_retry(*static_cast<const int *>(pContext), pData, iCount);
}

// The scanner opens its data service only once it has taken the job.
int ConnectDataService(const char *szIP)
{
    for (int iAttempt = 0; iAttempt < c_iDataConnectAttempts; ++iAttempt) {
        const int fd = quarn_init_tcp(szIP, c_usScanDataPort);
        if (fd >= 0)
            return fd;
        usleep(c_uDataConnectPauseUs);
    }
    return -1;
}

// The data connection with its first block already read, or -1.
int OpenDataStream(const char *szIP)
{
    int fd = ConnectDataService(szIP);
    if (fd < 0)
        return -1;
    stQuarnByteSource src {&fd, ReadFromSocket};
    if (QuarnSkipFirstBlock(src) == SANE_STATUS_GOOD)
        return fd;
    quarn_close_tcp(fd);
    return -1;
}

bool BuildScanPostRequest(const SettingInfo &info, char (&szRequest)[c_iRequestSize], int *piLen)
{
    char szLogin[c_iPostValueSize];
    if (getlogin_r(szLogin, sizeof(szLogin)) != 0)
        szLogin[0] = '\0';
    char szBody[c_iPostBodySize];
    if (QuarnBuildScanPostBody(info, CheckIsKQ(), szLogin, szBody, sizeof(szBody)) < 0)
        return false;
    *piLen = FormatPostRequest(szRequest, c_szPostTemplate, c_szQuarnPostAddress, szBody);
    return *piLen >= 0;
}

bool RecvOslReply(int fd, char *pReply, int iLength)
{
    int iHave = 0;
    for (int iCall = 0; iCall < c_iOslRecvCalls && iHave < iLength; ++iCall) {
        const ssize_t r = recv(fd, pReply + iHave, size_t(iLength - iHave), 0);
        if (r < 0)
            return false;
        iHave += int(r);
    }
    return iHave == iLength;
}

// Exchanges one query: the reply's length in *piLen and its text in szReply, or false.
bool OslExchange(const char *szIP, const char *pRequest, int iRequestLen, char (&szReply)[c_iOslBufSize],
                 int *piLen)
{
    const int fd = quarn_init_tcp(szIP, c_usOslPort);
    if (fd < 0)
        return false;
    uint32_t uiLength = 0;
    const bool bOk = SendAll(fd, pRequest, iRequestLen) &&
                     quarn_tcp_recv_with_retry(fd, &uiLength, sizeof(uiLength)) == 0 &&
                     ntohl(uiLength) <= uint32_t(c_iOslBufSize) &&
                     RecvOslReply(fd, szReply, int(ntohl(uiLength)));
    quarn_close_tcp(fd);
    *piLen = int(ntohl(uiLength));
    return bOk;
}
}  // namespace

int quarn_init_tcp(const char *szIP, unsigned short usPort)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    if (!szIP || inet_pton(AF_INET, szIP, &addr.sin_addr) != 1)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const timeval tv {c_iTcpTimeoutSec, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int quarn_close_tcp(int fd)
{
    return close(fd);
}

// An interrupted receive ends the attempts: the signal asks this process to stop.
int quarn_tcp_recv_with_retry(int fd, void *pBuf, int iCount)
{
    auto *p = static_cast<char *>(pBuf);
    int iHave = 0;
    for (int iAttempt = 0; iAttempt < c_iRecvAttempts && iHave < iCount; ++iAttempt) {
        const ssize_t r = recv(fd, p + iHave, size_t(iCount - iHave), MSG_WAITALL);
        if (r > 0)
            iHave += int(r);
        else if (r < 0 && errno == EINTR)
            break;
    }
    return iHave == iCount ? 0 : -1;
}

int GetHostIPAddress(char *szBuf, int iSize)
{
    ifaddrs *pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return -1;
    char szText[c_iHostTextSize] = {};
    for (const ifaddrs *p = pList; p && !szText[0]; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET ||
            (p->ifa_flags & c_uHostInterfaceFlags) != c_uHostInterfaceFlags)
            continue;
        const auto *pAddr = reinterpret_cast<const sockaddr_in *>(p->ifa_addr);
        if (!inet_ntop(AF_INET, &pAddr->sin_addr, szText, sizeof(szText)) || std::strcmp(szText, c_szLoopbackText) == 0)
            szText[0] = '\0';
    }
    freeifaddrs(pList);
    const size_t nLen = std::strlen(szText);
    if (nLen == 0 || int(nLen) >= iSize)
        return -1;
    std::memcpy(szBuf, szText, nLen + 1);
    return 0;
}

int quarn_send_osl(QuarnSocket *pSocket, char **ppReply, OSL_CMD_TYPE type, int *piLen)
{
    *ppReply = nullptr;
    *piLen = 0;
    if (type < OSL_CMD_FAMILYTYPE || type > OSL_CMD_SUMMARY)
        return SANE_STATUS_INVAL;
    const stOslQuery &query = c_astOslQueries[type];
    char acRequest[c_iOslLengthSize + c_iOslBufSize];
    const int iText = FormatText(acRequest + c_iOslLengthSize, c_iOslBufSize, c_szOslTemplate, query.iRequestId,
                                 query.szObject, query.szAttribute);
    if (iText < 0)
        return SANE_STATUS_INVAL;
    const uint32_t uiLength = htonl(uint32_t(iText));
    std::memcpy(acRequest, &uiLength, sizeof(uiLength));
    char szReply[c_iOslBufSize];
    int iLen = 0;
    if (!OslExchange(pSocket->szScannerIP, acRequest, c_iOslLengthSize + iText, szReply, &iLen))
        return SANE_STATUS_IO_ERROR;
    *ppReply = static_cast<char *>(std::malloc(size_t(std::max(iLen, 1))));
    if (!*ppReply)
        return SANE_STATUS_NO_MEM;
    std::memcpy(*ppReply, szReply, size_t(iLen));
    *piLen = iLen;
    return SANE_STATUS_GOOD;
}

int QuarnBuildScanPostBody(const SettingInfo &info, bool bKQ, const char *szLogin, char *szBody, int iSize)
{
    LSP_POST_CMD form;
    FillPostForm(info, bKQ, szLogin, form);
    int iLen = 0;
    for (const stPostField &field : form.astField) {
        const int iPart = FormatText(szBody + iLen, iSize - iLen, "%s=%s&", field.szKey, field.szValue);
        if (iPart < 0)
            return -1;
        iLen += iPart;
    }
    return iLen;
}

int quarn_http_ScanStart(QuarnSocket *pSocket, const SettingInfo *pInfo)
{
    char szRequest[c_iRequestSize];
    int iRequestLen = 0;
    const bool bBuilt = BuildScanPostRequest(*pInfo, szRequest, &iRequestLen);
    CloseDataConnection(pSocket);
    if (!bBuilt)
        return SANE_STATUS_INVAL;
    const int fdHttp = quarn_init_tcp(pSocket->szScannerIP, c_usHttpPort);
    if (fdHttp < 0)
        return SANE_STATUS_IO_ERROR;
    if (!SendAll(fdHttp, szRequest, iRequestLen)) {
        quarn_close_tcp(fdHttp);
        return SANE_STATUS_IO_ERROR;
    }
    char szReply[c_iHttpBufSize];
    int iStatus = RecvPostReply(fdHttp, szReply) ? quarn_http_ScanStartResult(szReply) : SANE_STATUS_DEVICE_BUSY;
    if (iStatus == SANE_STATUS_GOOD) {
        pSocket->tcpFromScanner = OpenDataStream(pSocket->szScannerIP);
        if (pSocket->tcpFromScanner < 0)
            iStatus = SANE_STATUS_IO_ERROR;
    }
    quarn_close_tcp(fdHttp);
    return iStatus;
}

int quarn_tcp_ScanRecord(QuarnSocket *pSocket, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen)
{
    int fd = pSocket->tcpFromScanner;
    stQuarnByteSource src {&fd, ReadFromSocket};
    const int iStatus = QuarnReadScanRecord(src, pSt, ppBuf, piSize, piLen);
    if (iStatus != SANE_STATUS_GOOD)
        CloseDataConnection(pSocket);
    return iStatus;
}

int quarn_http_ScanAbort(QuarnSocket *pSocket)
{
    CloseDataConnection(pSocket);
    char szHost[c_iHostTextSize];
    HostAddressText(szHost);
    char szRequest[c_iRequestSize];
    const int iRequestLen = FormatPostRequest(szRequest, c_szPostTemplate, szHost, c_szAbortBody);
    char szReply[c_iHttpBufSize];
    if (iRequestLen < 0 || HttpExchange(pSocket->szScannerIP, szRequest, iRequestLen, szReply) < 0)
        return SANE_STATUS_IO_ERROR;
    return SANE_STATUS_GOOD;
}

int quarn_http_adfstatus(QuarnSocket *pSocket, ADFStatus *pStatus)
{
    char szHost[c_iHostTextSize];
    HostAddressText(szHost);
    char szRequest[c_iRequestSize];
    const int iRequestLen = FormatPostRequest(szRequest, c_szAdfTemplate, szHost, c_szAdfBody);
    char szReply[c_iHttpBufSize];
    const int iLen = iRequestLen < 0 ? -1 : HttpExchange(pSocket->szScannerIP, szRequest, iRequestLen, szReply);
    if (iLen < 0)
        return SANE_STATUS_IO_ERROR;
    return QuarnAdfStatusOfReply(szReply, iLen, pStatus);
}

int quarn_http_DeviceProperties(QuarnSocket *pSocket, ScannerCapabilities *pCaps)
{
    char szHost[c_iHostTextSize];
    HostAddressText(szHost);
    char szHostHeader[c_iHeaderSize];
    char szRequest[c_iRequestSize];
    const int iRequestLen = FormatText(szHostHeader, sizeof(szHostHeader), c_szHostHeader, szHost) < 0
                                ? -1
                                : FormatText(szRequest, sizeof(szRequest), c_szCapsTemplate, szHostHeader);
    char szReply[c_iHttpBufSize];
    if (iRequestLen < 0 || HttpExchange(pSocket->szScannerIP, szRequest, iRequestLen, szReply) < 0)
        return SANE_STATUS_IO_ERROR;
    std::memset(pCaps, 0, sizeof(*pCaps));
    return quarn_ParseScanCapabilities(szReply, pCaps);
}
