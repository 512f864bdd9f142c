// The SANE backend through the real scanimage against the real scan daemon and an
// emulated USB scanner (umockdev): listing beside a network scanner, pages equal to what
// the scanner sent (raw colour, lineart, JPEG), the feeder, the frontend's backend
// test, a busy and a jammed scanner, an interrupted scan.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <cstring>
#include <memory>

#include "NetScannerSim.h"
#include "QuarnTestSupport.h"
#include "ScanImage.h"
#include "TestSupport.h"
#include "UsbScannerEmu.h"
#include "UsbTestbed.h"

using namespace std::chrono;

namespace
{
constexpr int c_iSide = 300;  // one inch at 300 dpi
constexpr int c_iRecordMax = 60000;  // image bytes per record, below the 16-bit record size
constexpr uint8_t c_ucClassScan = 0x53;
constexpr uint8_t c_ucCodeLock = 0x05;
constexpr uint8_t c_ucFlagBusy = 0x88;
constexpr uint8_t c_ucStatusPaperJam = 5;
constexpr int c_iRecordInfoSize = 23;
const char c_szSerial[] = "SN-SANE1";
const QString c_strDevice = QStringLiteral("ostrel:usb:SN-SANE1");
const QStringList c_listInch = {"-d", c_strDevice, "-x", "25.4", "-y", "25.4", "--resolution", "300"};

QVector<int> Records(int iBytes)
{
    QVector<int> vec;
    for (; iBytes > 0; iBytes -= c_iRecordMax)
        vec.append(std::min(iBytes, c_iRecordMax));
    return vec;
}

stScanScript PagesScript(int iPages, int iBytes)
{
    stScanScript stScript;
    for (int i = 0; i < iPages; ++i)
        stScript.vecPages.append(Records(iBytes));
    return stScript;
}

QImage RgbPicture(const QByteArray &ba)
{
    QImage image(c_iSide, c_iSide, QImage::Format_RGB888);
    for (int y = 0; y < c_iSide; ++y)
        std::memcpy(image.scanLine(y), ba.constData() + y * c_iSide * 3, c_iSide * 3);
    return image;
}

class SaneUsb : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!m_testbed.Emulated())
            GTEST_SKIP() << "runs only with the umockdev preload library";
        ASSERT_TRUE(m_root.isValid());
        m_pScanner = std::make_unique<UsbScannerEmu>(m_testbed, c_szSerial, QStringLiteral("Scanner"));
        ASSERT_TRUE(m_daemon.Start());
    }

    void TearDown() override
    {
        EXPECT_TRUE(m_daemon.Stop()) << "processes left: " << m_daemon.Processes().size();
    }

    QStringList PageFiles() const
    {
        return QDir(m_root.path() + "/scan").entryList({"ostrelscandata_*"}, QDir::Files);
    }

    void ExpectNothingLeft()
    {
        EXPECT_TRUE(WaitUntil([&] { return PageFiles().isEmpty(); }, seconds(5))) << PageFiles().join(' ').toStdString();
        EXPECT_TRUE(WaitUntil([&] { return m_daemon.Processes().size() == 1; }, seconds(5)))
            << m_daemon.Processes().size() << " daemon processes";
    }

    UsbTestbed m_testbed;
    QTemporaryDir m_root;
    std::unique_ptr<UsbScannerEmu> m_pScanner;
    QuarnDaemon m_daemon {m_root.path()};
    ScanImage m_scan;
};

TEST_F(SaneUsb, ListsTheUsbScannerBesideTheNetworkScanner)
{
    NetScannerSim sim;
    ASSERT_TRUE(sim.Start("127.0.0.99"));
    m_scan.SetNetScanners({"net 127.0.0.99"});
    const stScanImageRun run = m_scan.Run({"-L"});
    ASSERT_TRUE(run.bExited);
    EXPECT_EQ(run.iExit, 0);
    EXPECT_TRUE(run.baOut.contains("device `ostrel:usb:SN-SANE1' is a OSTREL VX3310 Pro flatbed scanner"))
        << run.baOut.toStdString() << run.baErr.toStdString();
    EXPECT_TRUE(run.baOut.contains("device `ostrel:net:127.0.0.99' is a OSTREL z907mfp flatbed scanner"))
        << run.baOut.toStdString();
    EXPECT_TRUE(sim.Stop());
    ExpectNothingLeft();
}

TEST_F(SaneUsb, RawColourAndLineartPagesEqualWhatTheScannerSent)
{
    m_pScanner->SetScript(PagesScript(1, c_iSide * c_iSide * 3));
    stScanImageRun run = m_scan.Run(c_listInch + QStringList {"--mode", "Color", "--format=png", "-o", "p.png"});
    ASSERT_TRUE(run.bExited);
    ASSERT_EQ(run.iExit, 0) << run.baErr.toStdString();
    EXPECT_EQ(LargestDifference(m_scan.Image("p.png"), RgbPicture(UsbScannerEmu::PageBytes(0, c_iSide * c_iSide * 3))),
              0);
    ExpectNothingLeft();

    const int iLineart = (c_iSide + 7) / 8 * c_iSide;
    m_pScanner->SetScript(PagesScript(1, iLineart));
    run = m_scan.Run(c_listInch + QStringList {"--mode", "Lineart", "--format=pnm", "-o", "l.pbm"});
    ASSERT_EQ(run.iExit, 0) << run.baErr.toStdString();
    const QByteArray baFile = ReadWholeFile(m_scan.OutPath("l.pbm"));
    EXPECT_TRUE(baFile.startsWith("P4\n")) << baFile.left(40).toStdString();
    EXPECT_TRUE(baFile.endsWith(UsbScannerEmu::PageBytes(0, iLineart)));
    ExpectNothingLeft();
}

TEST_F(SaneUsb, JpegPagesAreDecoded)
{
    const QImage picture = KnownPicture(320, 200);
    const QByteArray baJpeg = JpegOf(picture);
    stScanScript stScript = PagesScript(1, baJpeg.size());
    stScript.vecPageData = {baJpeg};
    m_pScanner->SetScript(stScript);
    const stScanImageRun run =
        m_scan.Run(c_listInch + QStringList {"--compression", "JPEG", "--format=png", "-o", "j.png"});
    ASSERT_EQ(run.iExit, 0) << run.baErr.toStdString();
    const int iDiff = LargestDifference(m_scan.Image("j.png"), picture);
    EXPECT_GE(iDiff, 0);
    EXPECT_LE(iDiff, 16);
    ExpectNothingLeft();
}

TEST_F(SaneUsb, BatchFromTheFeederGivesEveryPageThenStops)
{
    m_pScanner->SetScript(PagesScript(2, c_iSide * c_iSide * 3));
    const stScanImageRun run =
        m_scan.Run(c_listInch + QStringList {"--source", "ADF", "--format=png", "--batch=page%d.png"});
    ASSERT_TRUE(run.bExited);
    EXPECT_EQ(run.iExit, 0) << run.baErr.toStdString();
    EXPECT_TRUE(run.baErr.contains("Batch terminated, 2 pages scanned")) << run.baErr.toStdString();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(LargestDifference(m_scan.Image(QStringLiteral("page%1.png").arg(i + 1)),
                                    RgbPicture(UsbScannerEmu::PageBytes(i, c_iSide * c_iSide * 3))),
                  0)
            << "page " << i + 1;
    ExpectNothingLeft();
}

TEST_F(SaneUsb, FrontendBackendTestPasses)
{
    m_pScanner->SetScript(PagesScript(1, c_iSide * c_iSide * 3));
    const stScanImageRun run = m_scan.Run(c_listInch + QStringList {"-T"});
    ASSERT_TRUE(run.bExited);
    EXPECT_EQ(run.iExit, 0) << run.baErr.toStdString();
    EXPECT_FALSE(run.baErr.contains("FAIL")) << run.baErr.toStdString();
    ExpectNothingLeft();
}

TEST_F(SaneUsb, BusyAndJammedScannersBecomeSaneStatuses)
{
    m_pScanner->SetFlags(c_ucClassScan, c_ucCodeLock, c_ucFlagBusy);
    stScanImageRun run = m_scan.Run(c_listInch + QStringList {"-o", "busy.pnm"});
    EXPECT_NE(run.iExit, 0);
    EXPECT_TRUE(run.baErr.contains("Device busy")) << run.baErr.toStdString();

    m_pScanner->SetFlags(c_ucClassScan, c_ucCodeLock, c_ucFlagsOk);
    // The second sheet jams: the first page is good, then the jam is reported.
    stScanScript stScript = PagesScript(1, c_iSide * c_iSide * 3);
    stScript.vecTail = {UsbScannerEmu::RecordHeader(c_ucStatusPaperJam, c_iRecordInfoSize)};
    m_pScanner->SetScript(stScript);
    run = m_scan.Run(c_listInch + QStringList {"--source", "ADF", "--batch=jam%d.pnm"});
    EXPECT_TRUE(run.baErr.contains("Scanned page 1.")) << run.baErr.toStdString();
    EXPECT_TRUE(run.baErr.contains("Document feeder jammed")) << run.baErr.toStdString();
    EXPECT_TRUE(QFile::exists(m_scan.OutPath("jam1.pnm")));
    EXPECT_FALSE(QFile::exists(m_scan.OutPath("jam2.pnm")));
    ExpectNothingLeft();
}

TEST_F(SaneUsb, InterruptMidPageLeavesNothingBehind)
{
    stScanScript stScript = PagesScript(1, c_iSide * c_iSide * 3);
    stScript.bEndless = true;
    m_pScanner->SetScript(stScript);
    ASSERT_TRUE(m_scan.Start(c_listInch + QStringList {"-o", "int.pnm"}));
    ASSERT_TRUE(WaitUntil([&] { return m_pScanner->DataRecordsServed() > 20; }, seconds(10)));
    kill(pid_t(m_scan.Process().processId()), SIGINT);
    ASSERT_TRUE(m_scan.Process().waitForFinished(15000));
    ExpectNothingLeft();
}

TEST_F(SaneUsb, FeederOffersNoHigherResolutionThanItScans)
{
    stScanImageRun run = m_scan.Run({"-d", c_strDevice, "--help"});
    EXPECT_TRUE(run.baOut.contains("--resolution 75|150|200|300|600|1200dpi [300]")) << run.baOut.toStdString();
    run = m_scan.Run({"-d", c_strDevice, "--source", "ADF", "--help"});
    EXPECT_TRUE(run.baOut.contains("--resolution 75|150|200|300|600dpi [300]")) << run.baOut.toStdString();
}
}  // namespace
