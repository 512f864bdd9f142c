#include <gtest/gtest.h>

#include <random>

#include "StatusReplyBuilder.h"
#include "UtilPrinterStatus.h"

namespace
{
const unsigned char c_szSN[4] = {0x12, 0x34, 0x56, 0x78};

const unsigned char *Bytes(const QByteArray &ba)
{
    return reinterpret_cast<const unsigned char *>(ba.constData());
}

stStandardReply FullStandardReply()
{
    stStandardReply r;
    r.ucStatus = 16;
    r.listError = {0x1106, 0x1208};
    r.listWarning = {0x110D};
    r.listSupply = {{0x0000, "CART-77"},
                    SupplyNumber(0x0001, 2, 1),
                    SupplyNumber(0x1000, 64, 1),
                    SupplyNumber(0x1001, 0x0102, 2),
                    SupplyNumber(0x1002, 0x010203, 3),
                    SupplyNumber(0x1003, 300, 2),
                    SupplyNumber(0x1004, 0x01020304, 4),
                    SupplyNumber(0x1100, 7, 1),
                    SupplyNumber(0x1101, 1000, 2),
                    SupplyNumber(0x1102, 20, 2),
                    SupplyNumber(0x7777, 9, 1)};
    return r;
}

UtilPrinterStatus DecodeKQ(const QList<stKQRecord> &listRecord, enKQVariant variant, bool *pOk = nullptr)
{
    const QByteArray ba = KQStatusBuffer(BuildKQReplyFrame(c_szSN, {listRecord, -1, 0}));
    UtilPrinterStatus status(variant);
    const bool bOk = status.parseRecvBuf_KQ(Bytes(ba), ba.size());
    if (pOk)
        *pOk = bOk;
    return status;
}
}  // namespace

TEST(StandardDecoder, FullReplyFillsEveryValue)
{
    const QByteArray ba = BuildStandardReply(FullStandardReply());
    UtilPrinterStatus status(enKQVariant::Service);
    ASSERT_TRUE(status.parseRecvBuf(Bytes(ba), ba.size()));

    stPrinterState st;
    status.ToPrinterState(st);
    EXPECT_EQ(st.strVenderName, "Ostrel");
    EXPECT_EQ(st.strProductName, "VX3010");
    EXPECT_EQ(st.strPrinterSerialNumber, "SN0001");
    EXPECT_EQ(st.strFWVersion, "1.0.0");
    EXPECT_EQ(st.enCurrentStatus, STATUS_PRINTING);
    EXPECT_EQ(st.iNumberOfError, 2);
    EXPECT_EQ(st.listError, (QList<enErrorStatus>{ERR_FRONT_COVER_OPEN, ERR_UNKNOWN}));
    EXPECT_EQ(st.listWarning, (QList<enErrorStatus>{ERR_TONER_LOW}));
    EXPECT_EQ(st.strSupplySerialNumber, "CART-77");
    EXPECT_EQ(st.enSpplyType, 0);
    EXPECT_EQ(st.dwRemainingToner, 64u);
    EXPECT_EQ(st.dwWasteToner, 0x0102u);
    EXPECT_EQ(st.dwOPCRotation, 66051u);
    EXPECT_EQ(st.dwNumberOfPages, 300u);
    EXPECT_EQ(st.dwNumberOfPrint, 0x01020304u);
    EXPECT_EQ(st.dwPrintDotsCount, 7u);
    EXPECT_EQ(st.dwPrinterNumOfPages, 1000u);
    EXPECT_EQ(st.dwPrinterNumOfPrint, 20u);
    EXPECT_EQ(status.getPrinterStatusValue(), QByteArray(1, char(16)));
}

TEST(StandardDecoder, EveryTruncationFailsAndTheWholeReplySucceeds)
{
    const QByteArray ba = BuildStandardReply(FullStandardReply());
    for (int n = 0; n < ba.size(); ++n) {
        UtilPrinterStatus status(enKQVariant::Service);
        EXPECT_FALSE(status.parseRecvBuf(Bytes(ba), n)) << "length " << n;
    }
    UtilPrinterStatus status(enKQVariant::Service);
    EXPECT_TRUE(status.parseRecvBuf(Bytes(ba + "trailing"), ba.size() + 8)) << "bytes after the last item are ignored";
}

TEST(StandardDecoder, EmptyListsAndNoSuppliesSucceed)
{
    stStandardReply r;
    r.baVender.clear();
    r.baProduct.clear();
    r.baSerial.clear();
    const QByteArray ba = BuildStandardReply(r);
    UtilPrinterStatus status(enKQVariant::Service);
    ASSERT_TRUE(status.parseRecvBuf(Bytes(ba), ba.size()));
    stPrinterState st;
    status.ToPrinterState(st);
    EXPECT_EQ(st.enCurrentStatus, STATUS_READY);
    EXPECT_TRUE(st.listError.isEmpty());
    EXPECT_TRUE(st.listWarning.isEmpty());
    EXPECT_EQ(st.dwNumberOfPages, 0u);
}

TEST(StandardDecoder, SupplyItemsOverwriteAndLeaveOthersAlone)
{
    stStandardReply r;
    r.listSupply = {SupplyNumber(0x1003, 1, 2), {0x1003, QByteArray("\x01\x2C", 2)}, {0x1000, QByteArray()},
                    {0x1001, QByteArray("\x09\x01\x02\x03\x04", 5)}};
    const QByteArray ba = BuildStandardReply(r);
    UtilPrinterStatus status(enKQVariant::Service);
    ASSERT_TRUE(status.parseRecvBuf(Bytes(ba), ba.size()));
    EXPECT_EQ(status.m_ulNumberOfPages, 300u);
    EXPECT_EQ(status.m_ulNumberOfPrint, 0u);
    EXPECT_EQ(status.m_ulRemainingToner, 0u) << "a numeric field of length 0 is 0";
    EXPECT_EQ(status.m_ulWasteToner, 9u) << "a 5-byte number yields its first byte";
}

TEST(StandardDecoder, OverlongFieldsAreCutToCapacityAndLaterFieldsStayAligned)
{
    stStandardReply r;
    r.baVender = QByteArray(400, 'V');
    r.baFWVersion = QByteArray(255, 'F');
    r.listSupply = {{0x0000, QByteArray(200, 'S')}, SupplyNumber(0x1000, 55, 1)};
    r.ucStatus = 3;
    const QByteArray ba = BuildStandardReply(r);
    UtilPrinterStatus status(enKQVariant::Service);
    ASSERT_TRUE(status.parseRecvBuf(Bytes(ba), ba.size()));
    EXPECT_EQ(status.m_strVender.size(), c_iTextCapacityLong - 1);
    EXPECT_EQ(status.m_strProduct, "VX3010");
    EXPECT_EQ(status.m_strFWVersion.size(), c_iTextCapacityShort - 1);
    EXPECT_EQ(status.m_strSupplySerial.size(), c_iSupplyCapacity - 1);
    EXPECT_EQ(status.m_ulRemainingToner, 55u);
    EXPECT_EQ(GetPrinterStatusEnum(status.m_ulStatus), STATUS_CANCELING_JOB);
}

TEST(StandardDecoder, TextsEndAtTheirFirstNul)
{
    stStandardReply r;
    r.baSerial = QByteArray("AB\0CD", 5);
    const QByteArray ba = BuildStandardReply(r);
    UtilPrinterStatus status(enKQVariant::Service);
    ASSERT_TRUE(status.parseRecvBuf(Bytes(ba), ba.size()));
    EXPECT_EQ(status.m_strSerial, "AB");
    EXPECT_EQ(status.m_strProduct, "VX3010");
}

TEST(Numbers, ByteToDWORDFollowsTheWidthRule)
{
    const unsigned char sz[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(UtilPrinterStatus::byteToDWORD(sz, 0), 0u);
    EXPECT_EQ(UtilPrinterStatus::byteToDWORD(sz, 1), 1u);
    EXPECT_EQ(UtilPrinterStatus::byteToDWORD(sz, 2), 0x0102u);
    EXPECT_EQ(UtilPrinterStatus::byteToDWORD(sz, 3), 66051u);
    EXPECT_EQ(UtilPrinterStatus::byteToDWORD(sz, 4), 0x01020304u);
    EXPECT_EQ(UtilPrinterStatus::byteToDWORD(sz, 5), 1u);
}

TEST(KQDecoderService, StateAndQualifierRecords)
{
    EXPECT_EQ(DecodeKQ({KQState(1), KQQualifier(0)}, enKQVariant::Service).m_ulStatus, 0u);
    EXPECT_EQ(DecodeKQ({KQState(1), KQQualifier(2)}, enKQVariant::Service).m_ulStatus, 1u);
    EXPECT_EQ(DecodeKQ({KQState(1), KQQualifier(4)}, enKQVariant::Service).m_ulStatus, 0u);

    stPrinterState st;
    DecodeKQ({KQState(4)}, enKQVariant::Service).ToPrinterState_KQ(st);
    EXPECT_EQ(st.enCurrentStatus, STATUS_KQ_STATE4);
    DecodeKQ({KQState(1), KQError(0x1106), KQWarning(0x110D), KQToner(50)}, enKQVariant::Service).ToPrinterState_KQ(st);
    EXPECT_EQ(st.enCurrentStatus, STATUS_READY);
    EXPECT_EQ(st.listError, (QList<enErrorStatus>{ERR_FRONT_COVER_OPEN}));
    EXPECT_EQ(st.listWarning, (QList<enErrorStatus>{ERR_TONER_LOW}));
    EXPECT_EQ(st.dwRemainingToner, 0u) << "the service variant leaves the toner alone";
    EXPECT_TRUE(st.strVenderName.isEmpty());
}

TEST(KQDecoderService, WideStateValueIsANumberAndUnhandledRecordsAreSkipped)
{
    const UtilPrinterStatus s = DecodeKQ({{6, QByteArray("\x00\x03", 2)}, {0x55, "junk\x06\x00"}, KQError(0x1212)},
                                         enKQVariant::Service);
    EXPECT_EQ(s.m_ulStatus, 3u);
    EXPECT_EQ(s.m_listErrorCode, (QList<unsigned long>{0x1212}));
}

TEST(KQDecoderService, QualifierOfOtherLengthIsSkippedWholeNotReadAsHeaders)
{
    // Its two value bytes look like the start of a state record; they must not be read as one.
    const UtilPrinterStatus s = DecodeKQ({KQState(2), {7, QByteArray("\x00\x06", 2)}, KQWarning(0x11A0)},
                                         enKQVariant::Service);
    EXPECT_EQ(s.m_ulStatus, 2u);
    EXPECT_EQ(s.m_listWarningCode, (QList<unsigned long>{0x11A0}));
}

TEST(KQDecoder, RecordCountZeroShortBufferAndEarlyEnd)
{
    QByteArray ba = KQStatusBuffer(BuildKQReplyFrame(c_szSN, {{KQState(3)}, 0, 0}));
    UtilPrinterStatus s0(enKQVariant::Service);
    EXPECT_TRUE(s0.parseRecvBuf_KQ(Bytes(ba), ba.size()));
    EXPECT_EQ(s0.m_ulStatus, 0u);

    for (unsigned long n = 0; n <= 39; ++n) {
        UtilPrinterStatus s(enKQVariant::Service);
        EXPECT_TRUE(s.parseRecvBuf_KQ(Bytes(ba), n)) << n;
    }

    // Five records announced, one present: what was read counts.
    ba = KQStatusBuffer(BuildKQReplyFrame(c_szSN, {{KQState(3)}, 5, 0}));
    UtilPrinterStatus s1(enKQVariant::Service);
    EXPECT_TRUE(s1.parseRecvBuf_KQ(Bytes(ba), ba.size()));
    EXPECT_EQ(s1.m_ulStatus, 3u);
}

TEST(KQDecoder, HandledRecordRunningPastTheBufferFails)
{
    const QByteArray ba = KQStatusBuffer(BuildKQReplyFrame(c_szSN, {{KQState(1), KQError(0x1106)}, -1, 0}));
    UtilPrinterStatus s(enKQVariant::Service);
    EXPECT_FALSE(s.parseRecvBuf_KQ(Bytes(ba), ba.size() - 1));
    UtilPrinterStatus t(enKQVariant::Tool);
    EXPECT_FALSE(t.parseRecvBuf_KQ(Bytes(ba), ba.size() - 1));
}

TEST(KQDecoderTool, StateQualifierConditionsAndToner)
{
    stPrinterState st;
    DecodeKQ({KQState(1), KQQualifier(2)}, enKQVariant::Tool).ToPrinterState_KQ(st);
    EXPECT_EQ(st.enCurrentStatus, STATUS_PRINTING);

    const struct
    {
        std::uint8_t state;
        enPrinterStatus expected;
    } c_rows[] = {{1, STATUS_READY}, {2, STATUS_INITIALIZE}, {3, STATUS_BUSY}, {4, STATUS_UNKNOWN}, {9, STATUS_UNKNOWN}};
    for (const auto &row : c_rows) {
        DecodeKQ({KQState(row.state)}, enKQVariant::Tool).ToPrinterState_KQ(st);
        EXPECT_EQ(st.enCurrentStatus, row.expected) << int(row.state);
    }
    DecodeKQ({KQQualifier(1)}, enKQVariant::Tool).ToPrinterState_KQ(st);
    EXPECT_EQ(st.enCurrentStatus, STATUS_COPYING);
    DecodeKQ({KQQualifier(3)}, enKQVariant::Tool).ToPrinterState_KQ(st);
    EXPECT_EQ(st.enCurrentStatus, STATUS_SCANNING);

    DecodeKQ({KQState(1), {9, QByteArray(2, '\0')}, KQWarning(0x110D), KQToner(80)}, enKQVariant::Tool)
        .ToPrinterState_KQ(st);
    EXPECT_TRUE(st.listError.isEmpty()) << "an all-zero error value is no error";
    EXPECT_EQ(st.listWarning, (QList<enErrorStatus>{ERR_TONER_LOW}));
    EXPECT_EQ(st.dwRemainingToner, 80u);
    EXPECT_EQ(st.iNumberOfError, 1);
    EXPECT_EQ(st.iNumberOfWarning, 1);
}

TEST(KQDecoderTool, ShortValuesCountOnlyTheBytesThatExist)
{
    UtilPrinterStatus s = DecodeKQ({{9, QByteArray()}, {29, QByteArray(2, '\x50')}}, enKQVariant::Tool);
    EXPECT_EQ(s.m_ulErrorCount, 0u);
    EXPECT_EQ(s.m_ulRemainingToner, 0u) << "a toner record shorter than 3 bytes leaves the toner";
    s = DecodeKQ({{12, QByteArray(1, '\x01')}}, enKQVariant::Tool);
    EXPECT_EQ(s.m_ulWarningCount, 1u);
}

TEST(KQDecoderTool, StateOfOtherLengthIsSkippedWhole)
{
    const UtilPrinterStatus s = DecodeKQ({{6, QByteArray("\x00\x07\x01", 3)}, KQState(2)}, enKQVariant::Tool);
    EXPECT_EQ(s.m_ulStatus, 4u);
}

TEST(StatusMapping, StandardAndKQTables)
{
    const int c_iStandard[] = {STATUS_READY, STATUS_INITIALIZE, STATUS_BUSY, STATUS_CANCELING_JOB};
    for (unsigned long raw = 0; raw < 4; ++raw)
        EXPECT_EQ(GetPrinterStatusEnum(raw), c_iStandard[raw]);
    for (unsigned long raw = 4; raw <= 15; ++raw)
        EXPECT_EQ(GetPrinterStatusEnum(raw), STATUS_UNKNOWN);
    EXPECT_EQ(GetPrinterStatusEnum(16), STATUS_PRINTING);
    EXPECT_EQ(GetPrinterStatusEnum(19), STATUS_REPORTING);
    EXPECT_EQ(GetPrinterStatusEnum(20), STATUS_UNKNOWN);

    EXPECT_EQ(GetPrinterStatusEnum_KQ(4, enKQVariant::Service), STATUS_KQ_STATE4);
    EXPECT_EQ(GetPrinterStatusEnum_KQ(0, enKQVariant::Service), STATUS_UNKNOWN);
    EXPECT_EQ(GetPrinterStatusEnum_KQ(5, enKQVariant::Service), STATUS_UNKNOWN);
    for (unsigned long raw : {2ul, 3ul, 4ul, 5ul, 6ul, 8ul, 9ul, 10ul})
        EXPECT_EQ(GetPrinterStatusEnum_KQ(raw, enKQVariant::Tool), int(raw));
    EXPECT_EQ(GetPrinterStatusEnum_KQ(18, enKQVariant::Tool), STATUS_REPORTING);
    for (unsigned long raw : {0ul, 1ul, 7ul, 11ul, 12ul})
        EXPECT_EQ(GetPrinterStatusEnum_KQ(raw, enKQVariant::Tool), STATUS_UNKNOWN);
    EXPECT_EQ(GetTonerTypeEnum(5), 0);
}

TEST(StatusMapping, ConditionCodesIncludingRangeEdgesAndGaps)
{
    const struct
    {
        unsigned long code;
        enErrorStatus expected;
    } c_rows[] = {
        {0x4F00, ERR_PRINTER_BREAKDOWN2}, {0x1208, ERR_UNKNOWN},        {0x1200, ERR_FIXER},
        {0x1213, ERR_PRINTER_BREAKDOWN},  {0x121F, ERR_PRINTER_BREAKDOWN}, {0x1220, ERR_UNKNOWN},
        {0x11B8, ERR_JAM_INSIDE},         {0x11B9, ERR_UNKNOWN},        {0x11EF, ERR_TONER_EMPTY_LOW_QUALITY},
        {0x1107, ERR_UNKNOWN},            {0x1116, ERR_UNKNOWN},        {0x1120, ERR_UNKNOWN},
        {0x112A, ERR_UNKNOWN},            {0x1131, ERR_UNKNOWN},        {0x1210, ERR_UNKNOWN},
        {0xE100, ERR_IP_SETTINGS},        {0x11F2, ERR_NETSEC_ON},      {0x0110, ERR_INITIAL_SETUP},
        {0x1125, ERR_WASTE_TONER_FULL},   {0x1127, ERR_DESIGN_LIFE_EXCEEDED}, {0x0202, ERR_PRINTER_BREAKDOWN},
        {0x0201, ERR_UNKNOWN},            {0xFFFFFFFF, ERR_UNKNOWN},
    };
    for (const auto &row : c_rows)
        EXPECT_EQ(GetErrorStatusEnum(row.code), row.expected) << std::hex << row.code;
}

TEST(DecoderHostileInput, RandomBytesNeverReadOutOfBounds)
{
    std::mt19937 rng(907);
    for (int i = 0; i < 20000; ++i) {
        QByteArray ba(int(rng() % 300), '\0');
        for (char &c : ba)
            c = char(rng());
        if (i % 2)
            ba[36 % std::max(1, ba.size())] = char(rng() % 8);
        // Exact-size heap copies so that AddressSanitizer sees every overread.
        std::vector<unsigned char> buf(ba.begin(), ba.end());
        UtilPrinterStatus a(enKQVariant::Service), b(enKQVariant::Tool), c(enKQVariant::Service);
        a.parseRecvBuf_KQ(buf.data(), buf.size());
        b.parseRecvBuf_KQ(buf.data(), buf.size());
        c.parseRecvBuf(buf.data(), buf.size());
    }
}
