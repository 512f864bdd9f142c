#include <gtest/gtest.h>

#include <QDir>

#include <cstring>

#include "TestSupport.h"
#include "UtilLog.h"
#include "npa.h"

namespace
{
constexpr std::time_t c_tFixed = 0x65A1B2C3;

struct stCRCVector
{
    const char *szInput;
    std::uint32_t uiCRC;
};

std::uint32_t CRCOf(const QByteArray &ba)
{
    unsigned char sz[4];
    NPA::GetCRC(reinterpret_cast<const unsigned char *>(ba.constData()), ba.size(), sz);
    return (std::uint32_t(sz[0]) << 24) | (sz[1] << 16) | (sz[2] << 8) | sz[3];
}

void Seal(QByteArray &ba)
{
    NPA::GetCRC(reinterpret_cast<const unsigned char *>(ba.constData()) + 8, std::min(ba.size(), NPA::c_iCRCLimit) - 8,
                reinterpret_cast<unsigned char *>(ba.data()) + 4);
}

// A reply frame to cmd: magic, CRC, SN, length field, return value, data.
QByteArray Reply(const NPA::CCmd &cmd, const QByteArray &baData, unsigned char ucReturn = 0, int iSize = -1)
{
    QByteArray ba(NPA::c_iReplyDataOffset, '\0');
    std::memcpy(ba.data(), "QNCS", 4);
    std::memcpy(ba.data() + 8, cmd.SN(), 4);
    const int iL = baData.size() + NPA::c_iReplyDataBias;
    ba[16] = char(iL >> 8);
    ba[17] = char(iL);
    ba[28] = char(ucReturn);
    ba += baData;
    if (iSize >= 0)
        ba.resize(iSize);
    Seal(ba);
    return ba;
}

bool Check(const NPA::CCmd &cmd, const QByteArray &baReply)
{
    NPA::CParse parse(&cmd, baReply.size());
    std::memcpy(parse.Buffer(), baReply.constData(), baReply.size());
    return parse.CheckResult(baReply.size());
}

QByteArray LastLogLine(const TestInstallRoot &root)
{
    const QStringList files = QDir(root.Path() + "/log").entryList({"*.log"}, QDir::Files, QDir::Name);
    const QList<QByteArray> lines = ReadWholeFile(root.Path() + "/log/" + files.value(files.size() - 1)).trimmed().split('\n');
    return lines.last();
}
}  // namespace

TEST(CRC, StandardVectors)
{
    const stCRCVector c_vectors[] = {
        {"abc", 0x352441C2u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {"a", 0xE8B7BE43u},
    };
    for (const auto &v : c_vectors)
        EXPECT_EQ(CRCOf(v.szInput), v.uiCRC) << v.szInput;
    unsigned char sz[4] = {1, 2, 3, 4};
    NPA::GetCRC(nullptr, 0, sz);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(sz), 4), QByteArray(4, '\0'));
    EXPECT_EQ(NPA::crc32_tab[1], 0x77073096u);
    EXPECT_EQ(NPA::crc32_tab[255], 0x2D02EF8Du);
}

TEST(StatusCommand, IsThe39ByteFrameAtAFixedTime)
{
    NPA::CCmd cmd;
    ASSERT_TRUE(NPA::BuildStatusCmd(cmd, c_tFixed));
    ASSERT_EQ(cmd.Length(), 39);
    const QByteArray frame(reinterpret_cast<const char *>(cmd.Frame()), cmd.Length());
    QByteArray expected = QByteArray::fromHex(
        "514e4353"    // magic
        "00000000"    // CRC, filled below
        "65a1b2c3"    // SN = time
        "00000000"
        "0015"        // length 39 - 18
        "50a101"      // fixed, protocol type
        "01000501"    // command
        "560001"
        "05000600070009000c001d");
    const std::uint32_t uiCRC = CRCOf(expected.mid(8));
    expected[4] = char(uiCRC >> 24);
    expected[5] = char(uiCRC >> 16);
    expected[6] = char(uiCRC >> 8);
    expected[7] = char(uiCRC);
    EXPECT_EQ(frame.toHex(), expected.toHex());
}

TEST(FrameBuilder, CapacityLimitsAndOptionalFields)
{
    NPA::CCmd tiny(27);
    EXPECT_FALSE(tiny.GenerateCmd(1, 2, 3, 4));

    NPA::CCmd cmd(40);
    ASSERT_TRUE(cmd.GenerateCmd(1, 2, 3, 4, c_tFixed));
    const unsigned char szData[16] = {};
    cmd.SetCmdData(szData, 13);  // does not fit in 12 free bytes
    cmd.SetCmdLength();
    EXPECT_EQ(cmd.Length(), 28) << "data that do not fit are dropped";
    cmd.SetCmdProtocolType(0x07);
    EXPECT_EQ(cmd.Frame()[20], 0x07);

    NPA::CCmd path(300);
    ASSERT_TRUE(path.GenerateCmd(1, 2, 3, 4, c_tFixed));
    path.SetCmdPathLength("/tmp/x");
    path.SetCmdPath("/tmp/x");
    path.SetCmdLength();
    EXPECT_EQ(path.Length(), 28 + 1 + 6);
    EXPECT_EQ(path.Frame()[28], 6);
    EXPECT_EQ(std::memcmp(path.Frame() + 29, "/tmp/x", 6), 0);

    NPA::CCmd longPath(1024);
    ASSERT_TRUE(longPath.GenerateCmd(1, 2, 3, 4, c_tFixed));
    const std::string strLong(256, 'p');
    longPath.SetCmdPathLength(strLong);
    longPath.SetCmdPath(strLong);
    longPath.SetCmdLength();
    EXPECT_EQ(longPath.Length(), 28) << "paths over 255 bytes are refused";

    NPA::CCmd none;  // setters before GenerateCmd touch nothing
    none.SetCmdData(szData, 4);
    none.SetCmdLength();
    none.SetCmdCRC();
    none.SetCmdPathLength("a");
    none.SetCmdPath("a");
    EXPECT_EQ(none.Length(), 0);
}

TEST(CheckResult, AcceptsAWellFormedReplyAndRejectsEachFault)
{
    TestInstallRoot root;
    SetLogEnable(true);
    NPA::CCmd cmd;
    ASSERT_TRUE(NPA::BuildStatusCmd(cmd, c_tFixed));

    const QByteArray good = Reply(cmd, QByteArray());
    ASSERT_EQ(good.size(), 29);
    EXPECT_TRUE(Check(cmd, good));

    EXPECT_FALSE(Check(cmd, good.left(28)));
    EXPECT_TRUE(LastLogLine(root).contains("(../npa.cpp@"));
    EXPECT_TRUE(LastLogLine(root).endsWith(" CheckResult) Invalid memory or memory size."));

    QByteArray bad = good;
    bad[0] = 'X';
    EXPECT_FALSE(Check(cmd, bad));
    EXPECT_TRUE(LastLogLine(root).endsWith("Invalid header of the frame."));

    bad = good;
    bad[20] = char(bad[20] ^ 1);
    EXPECT_FALSE(Check(cmd, bad));
    EXPECT_TRUE(LastLogLine(root).endsWith("CRC is incorrect."));

    NPA::CCmd later;
    ASSERT_TRUE(NPA::BuildStatusCmd(later, c_tFixed + 1));
    EXPECT_FALSE(Check(later, good));
    EXPECT_TRUE(LastLogLine(root).endsWith("SN is incorrect."));

    EXPECT_FALSE(Check(cmd, Reply(cmd, QByteArray(), 3)));
    EXPECT_TRUE(LastLogLine(root).endsWith("return value is NOT 0!"));
}

TEST(CheckResult, CRCCoversBytes8To254Only)
{
    NPA::CCmd cmd;
    ASSERT_TRUE(NPA::BuildStatusCmd(cmd, c_tFixed));
    QByteArray reply = Reply(cmd, QByteArray(271, 'd'));
    ASSERT_EQ(reply.size(), 300);
    reply[260] = 'Z';
    EXPECT_TRUE(Check(cmd, reply));
    reply[254] = 'Z';
    EXPECT_FALSE(Check(cmd, reply));
}

TEST(GetData, SingleBlockDataAndLengthBounds)
{
    NPA::CCmd cmd;
    ASSERT_TRUE(NPA::BuildStatusCmd(cmd, c_tFixed));
    const QByteArray reply = Reply(cmd, "status-records");
    NPA::CParse parse(&cmd, reply.size());
    std::memcpy(parse.Buffer(), reply.constData(), reply.size());
    ASSERT_TRUE(parse.CheckResult(reply.size()));
    unsigned char *pData = nullptr;
    int iLength = 0;
    ASSERT_TRUE(parse.GetData(pData, iLength));
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(pData), iLength), "status-records");

    // A length field claiming more data than arrived, and one below 11.
    for (int iField : {0x0100, 11, 5}) {
        QByteArray lying = reply;
        lying[16] = char(iField >> 8);
        lying[17] = char(iField);
        NPA::CParse p(&cmd, lying.size());
        std::memcpy(p.Buffer(), lying.constData(), lying.size());
        p.CheckResult(lying.size());  // CRC now wrong; GetData must still stay in bounds
        EXPECT_FALSE(p.GetData(pData, iLength)) << iField;
    }
}

TEST(GetData, MultiBlockAnswersAreJoinedAndBoundsChecked)
{
    NPA::CCmd cmd;
    ASSERT_TRUE(NPA::BuildStatusCmd(cmd, c_tFixed));
    // Block 0 carries 227 data bytes and continues; block 1 carries 20 and ends.
    QByteArray reply = Reply(cmd, QByteArray(227, 'a'));
    reply[18] = char(NPA::c_ucContinued);
    QByteArray block1(NPA::c_iBlockDataOffset, '\0');
    block1[17] = char(20 + NPA::c_iBlockDataBias);
    reply += block1 + QByteArray(20, 'b');
    Seal(reply);

    NPA::CParse parse(&cmd, reply.size());
    std::memcpy(parse.Buffer(), reply.constData(), reply.size());
    parse.CheckResult(reply.size());
    unsigned char *pData = nullptr;
    int iLength = 0;
    ASSERT_TRUE(parse.GetData(pData, iLength));
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(pData), iLength), QByteArray(227, 'a') + QByteArray(20, 'b'));

    // Block 1 claims more than it holds.
    QByteArray lying = reply;
    lying[256 + 17] = char(200);
    NPA::CParse p(&cmd, lying.size());
    std::memcpy(p.Buffer(), lying.constData(), lying.size());
    p.CheckResult(lying.size());
    EXPECT_FALSE(p.GetDataForMutil(pData, iLength));

    // Block 1 below the minimum length field.
    lying[256 + 17] = char(9);
    NPA::CParse q(&cmd, lying.size());
    std::memcpy(q.Buffer(), lying.constData(), lying.size());
    q.CheckResult(lying.size());
    EXPECT_FALSE(q.GetDataForMutil(pData, iLength));
}
