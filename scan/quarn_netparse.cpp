#include "quarn_netparse.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "quarn_scanner.h"

namespace
{
constexpr int c_iDiscardChunk = 4096;
constexpr int c_iResultDigitsMax = 9;
constexpr int c_iContentLengthDigitsMax = 7;
constexpr long long c_llContentLengthMax = 1 << 20;

constexpr std::string_view c_svNewFile = "NEWFILE";
constexpr std::string_view c_svJobDone = "JOBDONE";
constexpr std::string_view c_svJobCancel = "JOBCANCEL";
constexpr char c_szHeaderEnd[] = "\r\n\r\n";
constexpr std::string_view c_svHeaderEnd = c_szHeaderEnd;
constexpr std::string_view c_svContentLength = "Content-Length:";
constexpr std::string_view c_svResultKey = "RESULT";

// Values of the scan post's RESULT line.
enum ResultScanPost
{
    RESULT_SUCCESS = 0,
    RESULT_BADFIELD = 1,
    RESULT_DEVICEBUSY = 91,
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view TrimSpaces(std::string_view sv)
{
    while (!sv.empty() && sv.front() == ' ')
        sv.remove_prefix(1);
    while (!sv.empty() && sv.back() == ' ')
        sv.remove_suffix(1);
    return sv;
}

// At most iDigitsMax digits and nothing else.
bool ParseDigits(std::string_view sv, int iDigitsMax, long long *pllValue)
{
    if (sv.empty() || int(sv.size()) > iDigitsMax)
        return false;
    long long ll = 0;
    for (char c : sv) {
        if (!IsDigit(c))
            return false;
        ll = ll * 10 + (c - '0');
    }
    *pllValue = ll;
    return true;
}

// What atoi makes of the text, without its undefined overflow: out-of-range values stop
// at the ends of int.
int SafeAtoi(std::string_view sv)
{
    while (!sv.empty() && (sv.front() == ' ' || (sv.front() >= '\t' && sv.front() <= '\r')))
        sv.remove_prefix(1);
    bool bNegative = false;
    if (!sv.empty() && (sv.front() == '+' || sv.front() == '-')) {
        bNegative = sv.front() == '-';
        sv.remove_prefix(1);
    }
    long long ll = 0;
    for (size_t i = 0; i < sv.size() && IsDigit(sv[i]); ++i)
        ll = std::min<long long>(ll * 10 + (sv[i] - '0'), 1LL + INT_MAX);
    ll = bNegative ? -ll : ll;
    return int(std::clamp<long long>(ll, INT_MIN, INT_MAX));
}

bool StartsWith(const char *p, std::string_view svWord)
{
    return std::memcmp(p, svWord.data(), svWord.size()) == 0;
}

// Drops the payload of one block whose header has the length at iLengthOffset.
int SkipBlock(stQuarnByteSource &src, int iHeaderSize, int iLengthOffset)
{
    char acHeader[c_iFirstHeaderSize];
    int iLength = 0;
    if (src.pfnRead(src.pContext, acHeader, iHeaderSize) != 0 ||
        !QuarnParseLength(acHeader + iLengthOffset, c_iLengthDigits, &iLength))
        return SANE_STATUS_IO_ERROR;
    char acChunk[c_iDiscardChunk];
    for (int iLeft = iLength; iLeft > 0;) {
        const int iPart = std::min(iLeft, c_iDiscardChunk);
        if (src.pfnRead(src.pContext, acChunk, iPart) != 0)
            return SANE_STATUS_IO_ERROR;
        iLeft -= iPart;
    }
    return SANE_STATUS_GOOD;
}

int ReadDataBlock(stQuarnByteSource &src, const char *pHeader, unsigned char **ppBuf, int *piSize, int *piLen)
{
    int iLength = 0;
    if (!QuarnParseLength(pHeader + c_iBlockLengthOffset, c_iLengthDigits, &iLength))
        return SANE_STATUS_IO_ERROR;
    if (iLength == 0)
        return SANE_STATUS_GOOD;
    if (!getScanBuffer(ppBuf, piSize, iLength))
        return SANE_STATUS_NO_MEM;
    if (src.pfnRead(src.pContext, *ppBuf, iLength) != 0)
        return SANE_STATUS_IO_ERROR;
    *piLen = iLength;
    return SANE_STATUS_GOOD;
}

// The body's lines, split at CR and LF, each split at its first '='; fnLine returns
// false to stop.
template <typename Fn>
void ForEachBodyLine(const char *szReply, Fn fnLine)
{
    const char *pBody = std::strstr(szReply, c_szHeaderEnd);
    if (!pBody)
        return;
    std::string_view svRest(pBody + c_svHeaderEnd.size());
    while (!svRest.empty()) {
        const size_t nEnd = std::min(svRest.find_first_of("\r\n"), svRest.size());
        const std::string_view svLine = svRest.substr(0, nEnd);
        svRest.remove_prefix(std::min(nEnd + 1, svRest.size()));
        if (svLine.empty())
            continue;
        const size_t nEqual = svLine.find('=');
        const std::string_view svKey = svLine.substr(0, nEqual);
        const std::string_view svValue = nEqual == std::string_view::npos ? std::string_view() : svLine.substr(nEqual + 1);
        if (!fnLine(svKey, svValue))
            return;
    }
}

int StatusOfPostResult(std::string_view svValue)
{
    long long llResult = 0;
    if (!ParseDigits(TrimSpaces(svValue), c_iResultDigitsMax, &llResult))
        return SANE_STATUS_INVAL;
    switch (llResult) {
    case RESULT_SUCCESS:
        return SANE_STATUS_GOOD;
    case RESULT_DEVICEBUSY:
        return SANE_STATUS_DEVICE_BUSY;
    default:
        return SANE_STATUS_INVAL;
    }
}

long long ContentLengthOf(std::string_view svHeader)
{
    while (!svHeader.empty()) {
        const size_t nEnd = std::min(svHeader.find("\r\n"), svHeader.size());
        const std::string_view svLine = svHeader.substr(0, nEnd);
        svHeader.remove_prefix(std::min(nEnd + 2, svHeader.size()));
        if (svLine.size() < c_svContentLength.size() ||
            strncasecmp(svLine.data(), c_svContentLength.data(), c_svContentLength.size()) != 0)
            continue;
        long long llLength = 0;
        const std::string_view svValue = TrimSpaces(svLine.substr(c_svContentLength.size()));
        return ParseDigits(svValue, c_iContentLengthDigitsMax, &llLength) && llLength <= c_llContentLengthMax ? llLength : -1;
    }
    return -1;
}
}  // namespace

int QuarnReadMemory(void *pContext, void *pData, int iCount)
{
    auto *pMem = static_cast<stQuarnMemoryBytes *>(pContext);
    if (iCount < 0 || size_t(iCount) > pMem->nLeft)
        return -1;
    if (iCount > 0)
        std::memcpy(pData, pMem->pData, size_t(iCount));
    pMem->pData += iCount;
    pMem->nLeft -= size_t(iCount);
    return 0;
}

bool QuarnParseLength(const char *pField, int iWidth, int *piLength)
{
    long long llLength = 0;
    if (!ParseDigits(TrimSpaces(std::string_view(pField, size_t(iWidth))), iWidth, &llLength))
        return false;
    *piLength = int(llLength);
    return true;
}

int QuarnSkipFirstBlock(stQuarnByteSource &src)
{
    return SkipBlock(src, c_iFirstHeaderSize, c_iFirstLengthOffset);
}

int QuarnReadScanRecord(stQuarnByteSource &src, ScanStatus *pSt, unsigned char **ppBuf, int *piSize, int *piLen)
{
    *pSt = SCAN_STATUS_OPERATION_CONTINUOUS;
    *piLen = 0;
    char acLine[c_iDataLineSize];
    if (src.pfnRead(src.pContext, acLine, c_iDataLineSize) != 0)
        return SANE_STATUS_IO_ERROR;
    if (StartsWith(acLine, c_svNewFile)) {
        // A page whose header cannot be read never began.
        const int iStatus = SkipBlock(src, c_iDataLineSize, c_iBlockLengthOffset);
        if (iStatus == SANE_STATUS_GOOD)
            *pSt = SCAN_STATUS_BEGIN_OF_PAGE;
        return iStatus;
    }
    if (StartsWith(acLine, c_svJobDone)) {
        *pSt = SCAN_STATUS_END_OF_DATA;
        return SANE_STATUS_EOF;
    }
    if (StartsWith(acLine, c_svJobCancel)) {
        *pSt = SCAN_STATUS_ABORTED_BY_DEVICE;
        return SANE_STATUS_CANCELLED;
    }
    return ReadDataBlock(src, acLine, ppBuf, piSize, piLen);
}

int quarn_http_ScanStartResult(const char *szReply)
{
    int iStatus = SANE_STATUS_GOOD;
    ForEachBodyLine(szReply, [&](std::string_view svKey, std::string_view svValue) {
        if (svKey != c_svResultKey)
            return true;
        iStatus = StatusOfPostResult(svValue);
        return false;
    });
    return iStatus;
}

int quarn_SetScanCapabilities(std::string_view key, std::string_view value, ScannerCapabilities *pCaps)
{
    struct stNumberKey
    {
        std::string_view svKey;
        uint32_t ScannerCapabilities::*pField;
    };
    static const stNumberKey c_astNumberKeys[] = {
        {"MINRES", &ScannerCapabilities::minres},       {"MAXRES", &ScannerCapabilities::maxres},
        {"WIDTH_FORMAT", &ScannerCapabilities::width_format}, {"FAMILY", &ScannerCapabilities::family},
        {"MAX_WIDTH", &ScannerCapabilities::maxWidth}, {"MAX_HEIGHT", &ScannerCapabilities::maxHeight},
        {"BASIC_RESOLUTION", &ScannerCapabilities::basicres},
    };
    if (key == "DUPLEX")
        pCaps->duplex = value == "true";
    else if (key == "COLOR")
        pCaps->color = value == "COLOR";
    else if (key == "PERMPROFILES")
        pCaps->permprofiles = value == "true";
    else if (key == "PROFILE")
        pCaps->profile = value != "DISABLED";
    for (const stNumberKey &entry : c_astNumberKeys) {
        if (key == entry.svKey)
            pCaps->*entry.pField = uint32_t(SafeAtoi(value));
    }
    return SANE_STATUS_GOOD;
}

int quarn_ParseScanCapabilities(const char *szReply, ScannerCapabilities *pCaps)
{
    ForEachBodyLine(szReply, [&](std::string_view svKey, std::string_view svValue) {
        quarn_SetScanCapabilities(svKey, svValue, pCaps);
        return true;
    });
    return SANE_STATUS_GOOD;
}

int QuarnAdfStatusOfReply(const char *pReply, int iLen, ADFStatus *pStatus)
{
    if (iLen <= 0)
        return SANE_STATUS_IO_ERROR;
    switch (pReply[iLen - 1]) {
    case '1':
        *pStatus = ADF_STATUS_EMPTY;
        return SANE_STATUS_GOOD;
    case '2':
        *pStatus = ADF_STATUS_LOADED;
        return SANE_STATUS_GOOD;
    case '3':
        *pStatus = ADF_STATUS_PAPER_JAM;
        return SANE_STATUS_GOOD;
    default:
        return SANE_STATUS_INVAL;
    }
}

bool QuarnHttpReplyComplete(const char *pReply, int iLen)
{
    const std::string_view svReply(pReply, size_t(std::max(iLen, 0)));
    const size_t nHeaderEnd = svReply.find(c_svHeaderEnd);
    if (nHeaderEnd == std::string_view::npos)
        return false;
    const long long llBody = ContentLengthOf(svReply.substr(0, nHeaderEnd + 2));
    return llBody >= 0 && (long long)(svReply.size() - nHeaderEnd - c_svHeaderEnd.size()) >= llBody;
}
