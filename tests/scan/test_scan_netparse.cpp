// What a network scanner sends back, parsed from memory: the scan data stream's records
// and its length fields, the scan post's RESULT line, the capabilities, the feeder
// status and the end of an HTTP reply; and the scan post's form body.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "quarn_net.h"
#include "quarn_netparse.h"

namespace
{
struct stRecordSeen
{
    int iStatus;
    int iSt;
    int iLen;
    std::string strData;

    bool operator==(const stRecordSeen &o) const
    {
        return iStatus == o.iStatus && iSt == o.iSt && iLen == o.iLen && strData == o.strData;
    }
};

std::ostream &operator<<(std::ostream &os, const stRecordSeen &r)
{
    return os << "{status " << r.iStatus << ", st " << r.iSt << ", len " << r.iLen << ", \"" << r.strData << "\"}";
}

// Records until the first nonzero status.
std::vector<stRecordSeen> ReadRecords(const std::string &strStream)
{
    stQuarnMemoryBytes mem {reinterpret_cast<const unsigned char *>(strStream.data()), strStream.size()};
    stQuarnByteSource src {&mem, QuarnReadMemory};
    unsigned char *pBuf = nullptr;
    int iSize = 0;
    std::vector<stRecordSeen> vec;
    for (int iStatus = SANE_STATUS_GOOD; iStatus == SANE_STATUS_GOOD;) {
        ScanStatus st = SCAN_STATUS_BEGIN_OF_SCAN;
        int iLen = -1;
        iStatus = QuarnReadScanRecord(src, &st, &pBuf, &iSize, &iLen);
        vec.push_back({iStatus, st, iLen, iLen > 0 ? std::string(reinterpret_cast<char *>(pBuf), size_t(iLen)) : ""});
    }
    std::free(pBuf);
    return vec;
}

std::string Line(const char *szWord)
{
    std::string str(szWord);
    str.resize(17, ' ');
    return str + "\n";
}

// A block header with the given six length characters.
std::string Block(const std::string &strLength, const std::string &strPayload)
{
    return "DATA  " + strLength + "     \n" + strPayload;
}

constexpr int c_iGood = SANE_STATUS_GOOD;
constexpr int c_iIo = SANE_STATUS_IO_ERROR;
}  // namespace

TEST(NetScanStream, RecordsOfTheDataStream)
{
    const std::string strPageHeader = "PAGEHD    11     \nPAGE=0\r\nX=1";
    struct stCase
    {
        const char *szName;
        std::string strStream;
        std::vector<stRecordSeen> vecExpected;
    };
    const stCase c_aCases[] = {
        {"pages, padded lengths, empty block, done",
         Line("NEWFILE") + strPageHeader + Block("000004", "abcd") + Block("  3   ", "xyz") + Block("000000", "") +
             Line("NEWFILE") + "PAGEHD000000     \n" + Block("     1", "Q") + Line("JOBDONE"),
         {{c_iGood, SCAN_STATUS_BEGIN_OF_PAGE, 0, ""},
          {c_iGood, SCAN_STATUS_OPERATION_CONTINUOUS, 4, "abcd"},
          {c_iGood, SCAN_STATUS_OPERATION_CONTINUOUS, 3, "xyz"},
          {c_iGood, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""},
          {c_iGood, SCAN_STATUS_BEGIN_OF_PAGE, 0, ""},
          {c_iGood, SCAN_STATUS_OPERATION_CONTINUOUS, 1, "Q"},
          {SANE_STATUS_EOF, SCAN_STATUS_END_OF_DATA, 0, ""}}},
        {"scanner cancels", Block("000002", "ok") + Line("JOBCANCEL"),
         {{c_iGood, SCAN_STATUS_OPERATION_CONTINUOUS, 2, "ok"},
          {SANE_STATUS_CANCELLED, SCAN_STATUS_ABORTED_BY_DEVICE, 0, ""}}},
        {"sign in the length", Block("+00002", "ok"), {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"letters in the length", Block("00002a", "ok"), {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"space inside the digits", Block("0 0002", "ok"), {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"spaces only", Block("      ", ""), {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"NUL in the length", Block(std::string("00\0" "002", 6), "ok"), {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"payload cut short", Block("000010", "short"), {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"control line cut short", "JOBDONE   ", {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"page header cut short, so no page began", Line("NEWFILE") + "PAGEHD000009     \nPAGE",
         {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"page header with a bad length", Line("NEWFILE") + "PAGEHD0x0009     \n",
         {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
        {"end of stream", "", {{c_iIo, SCAN_STATUS_OPERATION_CONTINUOUS, 0, ""}}},
    };
    for (const stCase &c : c_aCases)
        EXPECT_EQ(ReadRecords(c.strStream), c.vecExpected) << c.szName;

    // The largest block a header can announce is read whole.
    const std::string strBig(999999, 'b');
    const std::vector<stRecordSeen> vecBig = ReadRecords(Block("999999", strBig) + Line("JOBDONE"));
    ASSERT_EQ(vecBig.size(), 2u);
    EXPECT_EQ(vecBig[0].iLen, 999999);
    EXPECT_EQ(vecBig[0].strData, strBig);
}

TEST(NetScanStream, FirstBlockIsSkippedByItsOwnHeader)
{
    struct stCase
    {
        std::string strStream;
        int iStatus;
        size_t nLeft;
    };
    const stCase c_aCases[] = {
        {"JOBSTART000005     \nhello" + Line("JOBDONE"), c_iGood, 18},
        {"JOBSTART  5        \nhello", c_iGood, 0},
        {"JOBSTART000000     \n", c_iGood, 0},
        {"JOBSTART000006     \nhello", c_iIo, 0},
        {"JOBSTART00000x     \nhello", c_iIo, 0},
        {"JOBSTART000005", c_iIo, 0},
    };
    for (const stCase &c : c_aCases) {
        stQuarnMemoryBytes mem {reinterpret_cast<const unsigned char *>(c.strStream.data()), c.strStream.size()};
        stQuarnByteSource src {&mem, QuarnReadMemory};
        EXPECT_EQ(QuarnSkipFirstBlock(src), c.iStatus) << c.strStream;
        if (c.iStatus == c_iGood) {
            EXPECT_EQ(mem.nLeft, c.nLeft) << c.strStream;
        }
    }
}

TEST(NetHttpReplies, ScanPostResultLine)
{
    const std::string strHead = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    struct stCase
    {
        std::string strReply;
        int iStatus;
    };
    const stCase c_aCases[] = {
        {strHead + "RESULT=0\r\n", SANE_STATUS_GOOD},
        {strHead + "RESULT=91\r\n", SANE_STATUS_DEVICE_BUSY},
        {strHead + "RESULT=1\r\n", SANE_STATUS_INVAL},
        {strHead + "RESULT=2", SANE_STATUS_INVAL},
        {strHead + "STATUS=OK\nRESULT= 91 \n", SANE_STATUS_DEVICE_BUSY},
        {strHead + "RESULT=\r\n", SANE_STATUS_INVAL},
        {strHead + "RESULT=zero\r\n", SANE_STATUS_INVAL},
        {strHead + "RESULT=-1\r\n", SANE_STATUS_INVAL},
        {strHead + "RESULT=99999999999999999999\r\n", SANE_STATUS_INVAL},
        {strHead + "RESULT=0\r\nRESULT=91\r\n", SANE_STATUS_GOOD},
        {strHead + "XRESULT=91\r\nresult=91\r\n", SANE_STATUS_GOOD},
        {strHead + "STATUS=READY\r\n", SANE_STATUS_GOOD},
        {"HTTP/1.1 200 OK\r\nRESULT=91\r\n", SANE_STATUS_GOOD},
        {"", SANE_STATUS_GOOD},
    };
    for (const stCase &c : c_aCases)
        EXPECT_EQ(quarn_http_ScanStartResult(c.strReply.c_str()), c.iStatus) << c.strReply;
}

TEST(NetHttpReplies, CapabilitiesKeysAndValues)
{
    const std::string strReply = "HTTP/1.1 200 OK\r\nMAXRES: 9\r\n\r\n"
                                 "DUPLEX=true\r\nCOLOR=COLOR\r\nMINRES=75\nMAXRES=1200\r\nWIDTH_FORMAT=2\r\n"
                                 "FAMILY=-1\r\nPERMPROFILES=true\r\nPROFILE=ENABLED\r\nMAX_WIDTH=99999999999\r\n"
                                 "MAX_HEIGHT= 4200x\r\nBASIC_RESOLUTION=300\r\nSPEED=9\r\nmaxres=1\r\n";
    ScannerCapabilities caps {};
    EXPECT_EQ(quarn_ParseScanCapabilities(strReply.c_str(), &caps), SANE_STATUS_GOOD);
    EXPECT_EQ(caps.duplex, 1);
    EXPECT_EQ(caps.color, 1);
    EXPECT_EQ(caps.minres, 75u);
    EXPECT_EQ(caps.maxres, 1200u);
    EXPECT_EQ(caps.width_format, 2u);
    EXPECT_EQ(caps.family, 0xFFFFFFFFu);
    EXPECT_EQ(caps.permprofiles, 1);
    EXPECT_EQ(caps.profile, 1);
    EXPECT_EQ(caps.maxWidth, 0x7FFFFFFFu);
    EXPECT_EQ(caps.maxHeight, 4200u);
    EXPECT_EQ(caps.basicres, 300u);

    struct stFlagCase
    {
        const char *szKey;
        const char *szValue;
        bool bDuplex, bColor, bPerm, bProfile;
    };
    const stFlagCase c_aFlags[] = {
        {"DUPLEX", "TRUE", false, false, false, false},   {"COLOR", "GRAY", false, false, false, false},
        {"PERMPROFILES", "yes", false, false, false, false}, {"PROFILE", "DISABLED", false, false, false, false},
        {"PROFILE", "", false, false, false, true},       {"Duplex", "true", false, false, false, false},
    };
    for (const stFlagCase &c : c_aFlags) {
        ScannerCapabilities one {};
        quarn_SetScanCapabilities(c.szKey, c.szValue, &one);
        EXPECT_EQ((std::vector<int> {one.duplex, one.color, one.permprofiles, one.profile}),
                  (std::vector<int> {c.bDuplex, c.bColor, c.bPerm, c.bProfile}))
            << c.szKey << "=" << c.szValue;
    }

    ScannerCapabilities none {};
    quarn_ParseScanCapabilities("MAXRES=600\r\n", &none);
    EXPECT_EQ(none.maxres, 0u) << "no body without the empty line";
}

TEST(NetHttpReplies, FeederStatusFromTheLastByte)
{
    struct stCase
    {
        std::string strReply;
        int iStatus;
        ADFStatus st;
    };
    const stCase c_aCases[] = {
        {"HTTP/1.1 200 OK\r\n\r\nADFSTATUS=1", SANE_STATUS_GOOD, ADF_STATUS_EMPTY},
        {"x2", SANE_STATUS_GOOD, ADF_STATUS_LOADED},
        {"3", SANE_STATUS_GOOD, ADF_STATUS_PAPER_JAM},
        {"ADFSTATUS=2\r\n", SANE_STATUS_INVAL, ADFStatus(0)},
        {"ADFSTATUS=4", SANE_STATUS_INVAL, ADFStatus(0)},
        {"", SANE_STATUS_IO_ERROR, ADFStatus(0)},
    };
    for (const stCase &c : c_aCases) {
        ADFStatus st = ADFStatus(0);
        EXPECT_EQ(QuarnAdfStatusOfReply(c.strReply.data(), int(c.strReply.size()), &st), c.iStatus) << c.strReply;
        EXPECT_EQ(st, c.st) << c.strReply;
    }
}

TEST(NetHttpReplies, ReplyIsWholeWithItsAnnouncedBody)
{
    struct stCase
    {
        std::string strReply;
        bool bComplete;
    };
    const stCase c_aCases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd", true},
        {"HTTP/1.1 200 OK\r\ncontent-length:4\r\n\r\nabcdef", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabc", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", false},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabcd", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: -4\r\n\r\nabcd", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4x\r\n\r\nabcd", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999\r\n\r\nabcd", false},
        {"", false},
    };
    for (const stCase &c : c_aCases)
        EXPECT_EQ(QuarnHttpReplyComplete(c.strReply.data(), int(c.strReply.size())), c.bComplete) << c.strReply;
}

TEST(NetScanPost, FormBodyFollowsTheSettings)
{
    const std::string strBase =
        "SCANTYPE=2&ADVCONTRAST=5&BACKGROUNDREMOVAL=&COMPRESSION=JPEG&CONTRAST=MIXED&DARKNESS=6&DEPTH=24&"
        "DOCSOURCE=0&EDGETOEDGE=0&IPADDRESS=203.0.113.10&JPEGQUALITY=&KEEPALIVE=0&NAME=me&ORIENTATION=PORTRAIT&"
        "RESOLUTION=300&SCANSOURCE=7&SHARPNESS=0&START_NOW=1&TCPPORT=2080&TYPE=RAW&SINGLEPAGE=&CUSTOM_WIDTH=2480&"
        "CUSTOM_HEIGHT=3508&OFFSETX=1&OFFSETY=2&";
    struct stCase
    {
        const char *szName;
        uint8_t ucDepth;
        CompressionType enComp;
        uint8_t ucFeeder, ucIsClient, ucBackground;
        bool bKQ;
        std::vector<std::pair<std::string, std::string>> vecChanged;
    };
    const stCase c_aCases[] = {
        {"colour flatbed", 24, COMPRESSION_NONE, 0, 0, 0, false, {}},
        {"black and white", 1, COMPRESSION_NONE, 0, 0, 0, false, {{"DEPTH", "other"}}},
        {"grey, JPEG", 8, COMPRESSION_JPEG, 0, 0, 0, false, {{"DEPTH", "8"}, {"JPEGQUALITY", "70"}, {"TYPE", "JPEG"}}},
        {"grey, KQ", 8, COMPRESSION_NONE, 0, 0, 0, true, {{"DEPTH", "8"}, {"JPEGQUALITY", "70"}, {"TYPE", "JPEG"}}},
        {"wicked is raw", 16, COMPRESSION_WICKED, 0, 0, 0, false, {}},
        {"feeder, one page", 24, COMPRESSION_NONE, 1, 0, 0, false, {{"SCANSOURCE", "0"}, {"SINGLEPAGE", "TRUE"}}},
        {"feeder, all pages", 24, COMPRESSION_NONE, 2, 3, 0, false, {{"SCANSOURCE", "0"}}},
        {"background removal", 24, COMPRESSION_NONE, 0, 0, 9, false, {{"BACKGROUNDREMOVAL", "44"}}},
    };
    for (const stCase &c : c_aCases) {
        SettingInfo info {};
        info.bitDepth = c.ucDepth;
        info.compType = c.enComp;
        info.width = 2480;
        info.height = 3508;
        info.xStart = 1;
        info.yStart = 2;
        info.xResolution = 300;
        info.yResolution = 1200;
        info.feederEnabled = c.ucFeeder;
        info.isClient = c.ucIsClient;
        info.backgroundRemoval = c.ucBackground;
        info.backgroundRemovalParam = 44;
        info.BrightnessParam = 6;
        info.ContrastParam = 5;
        std::string strExpected = strBase;
        for (const auto &change : c.vecChanged) {
            const std::string strKey = "&" + change.first + "=";
            const size_t nAt = strExpected.find(strKey) + strKey.size();
            strExpected.replace(nAt, strExpected.find('&', nAt) - nAt, change.second);
        }
        char szBody[2048];
        const int iLen = QuarnBuildScanPostBody(info, c.bKQ, "me", szBody, sizeof(szBody));
        EXPECT_EQ(std::string(szBody, size_t(std::max(iLen, 0))), strExpected) << c.szName;
    }

    // A login name of the full 255 characters still fits; a buffer too small is refused.
    SettingInfo info {};
    char szBody[2048];
    EXPECT_GT(QuarnBuildScanPostBody(info, false, std::string(255, 'n').c_str(), szBody, sizeof(szBody)), 255);
    EXPECT_EQ(QuarnBuildScanPostBody(info, false, "me", szBody, 100), -1);
}
