// The SANE backend through the real scanimage, against the real scan daemon and the
// simulated network scanner: listing, pages equal to what the scanner sent (raw and
// JPEG), the feeder in batch mode, the frontend's own backend test, errors as SANE
// statuses, an interrupted scan and a daemon that does not run.
#include <gtest/gtest.h>

#include <QFile>

#include <csignal>

#include "NetScanFixture.h"
#include "NetScanPattern.h"
#include "ScanImage.h"

using namespace std::chrono;

namespace
{
// One inch square at 300 dpi.
constexpr int c_iSide = 300;
const QStringList c_listInch = {"-x", "25.4", "-y", "25.4", "--resolution", "300"};

QStringList Args(const QString &strDevice, const QStringList &listMore)
{
    return QStringList {"-d", strDevice} + c_listInch + listMore;
}

// The page the simulator sends, as the picture it must give in colour or grey.
QImage PatternPicture(int iPage, bool bRgb)
{
    QImage image(c_iSide, c_iSide, bRgb ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    const int iChannels = bRgb ? 3 : 1;
    for (int y = 0; y < c_iSide; ++y) {
        for (int x = 0; x < c_iSide; ++x) {
            const long long llAt = ((long long)y * c_iSide + x) * iChannels;
            const int r = NetScanPatternByte(iPage, llAt);
            image.setPixel(x, y, bRgb ? qRgb(r, NetScanPatternByte(iPage, llAt + 1), NetScanPatternByte(iPage, llAt + 2))
                                      : qRgb(r, r, r));
        }
    }
    return image;
}

QString PageBytes(bool bRgb)
{
    return "page_bytes=" + QString::number(c_iSide * c_iSide * (bRgb ? 3 : 1));
}

class SaneNet : public NetScanFixture
{
protected:
    // The scanner on its own address, listed in the backend's configuration.
    void StartScanner(const QString &strAddress, const QStringList &listSettings)
    {
        ASSERT_TRUE(StartSim(strAddress, listSettings));
        m_scan.SetNetScanners({"net " + strAddress});
        m_strDevice = "ostrel:net:" + strAddress;
    }

    // Nothing of the job is left: no page file, no data process under the daemon.
    void ExpectNothingLeft()
    {
        EXPECT_TRUE(WaitUntil([&] { return PageFiles().isEmpty(); }, seconds(5))) << PageFiles().join(' ').toStdString();
        EXPECT_TRUE(WaitUntil([&] { return m_daemon.Processes().size() == 1; }, seconds(5)))
            << m_daemon.Processes().size() << " daemon processes";
    }

    ScanImage m_scan;
    QString m_strDevice;
};

TEST_F(SaneNet, ListsTheConfiguredScannerWithItsFamilyOrLabel)
{
    StartScanner("127.0.0.90", {});
    stScanImageRun run = m_scan.Run({"-L"});
    ASSERT_TRUE(run.bExited);
    EXPECT_EQ(run.iExit, 0);
    EXPECT_TRUE(run.baOut.contains("device `ostrel:net:127.0.0.90' is a OSTREL z907mfp flatbed scanner"))
        << run.baOut.toStdString() << run.baErr.toStdString();

    m_scan.SetNetScanners({"# the office", "net 127.0.0.90   Office VX3310 Pro  # by the door", "net 300.1.1.1"});
    run = m_scan.Run({"-L"});
    EXPECT_TRUE(run.baOut.contains("device `ostrel:net:127.0.0.90' is a OSTREL Office VX3310 Pro flatbed scanner"))
        << run.baOut.toStdString();
    EXPECT_FALSE(run.baOut.contains("300.1.1.1"));
    EXPECT_TRUE(run.baErr.contains("ostrel.conf line 4")) << run.baErr.toStdString();
}

TEST_F(SaneNet, RawColourAndGreyPagesEqualWhatTheScannerSent)
{
    StartScanner("127.0.0.91", {PageBytes(true), "block_bytes=7000"});
    stScanImageRun run = m_scan.Run(Args(m_strDevice, {"--mode", "Color", "--format=png", "-o", "p.png"}));
    ASSERT_TRUE(run.bExited);
    ASSERT_EQ(run.iExit, 0) << run.baErr.toStdString();
    const QImage image = m_scan.Image("p.png");
    EXPECT_EQ(image.size(), QSize(c_iSide, c_iSide));
    EXPECT_EQ(LargestDifference(image, PatternPicture(0, true)), 0);
    ExpectNothingLeft();

    ASSERT_TRUE(m_sim.Set("page_bytes", QString::number(c_iSide * c_iSide)));
    run = m_scan.Run(Args(m_strDevice, {"--mode", "Gray", "--format=pnm", "-o", "g.pgm"}));
    ASSERT_EQ(run.iExit, 0) << run.baErr.toStdString();
    EXPECT_EQ(LargestDifference(m_scan.Image("g.pgm"), PatternPicture(0, false)), 0);
    ExpectNothingLeft();
}

TEST_F(SaneNet, JpegPagesAreDecoded)
{
    const QImage picture = KnownPicture(640, 480);
    QTemporaryDir dir;
    QFile jpeg(dir.filePath("page.jpg"));
    ASSERT_TRUE(jpeg.open(QIODevice::WriteOnly) && jpeg.write(JpegOf(picture)) > 0);
    jpeg.close();
    StartScanner("127.0.0.92", {"page_file=" + jpeg.fileName(), "block_bytes=4096"});
    const stScanImageRun run =
        m_scan.Run(Args(m_strDevice, {"--mode", "Color", "--compression", "JPEG", "--format=png", "-o", "j.png"}));
    ASSERT_EQ(run.iExit, 0) << run.baErr.toStdString();
    const int iDiff = LargestDifference(m_scan.Image("j.png"), picture);
    EXPECT_GE(iDiff, 0) << "size " << m_scan.Image("j.png").width() << "x" << m_scan.Image("j.png").height();
    EXPECT_LE(iDiff, 16);
    const QList<QByteArray> listHttp = m_sim.Received(NetScannerSim::c_szHttp);
    ASSERT_FALSE(listHttp.isEmpty());
    EXPECT_TRUE(listHttp.last().contains("TYPE=JPEG&")) << listHttp.last().toStdString();
    ExpectNothingLeft();

    // A JPEG cut short is an I/O error, not a page.
    ASSERT_TRUE(m_sim.Set("cut_after", QString::number(jpeg.size() / 2)));
    const stScanImageRun cut =
        m_scan.Run(Args(m_strDevice, {"--compression", "JPEG", "--format=png", "-o", "cut.png"}));
    EXPECT_NE(cut.iExit, 0);
    EXPECT_TRUE(cut.baErr.contains("Error during device I/O")) << cut.baErr.toStdString();
    ExpectNothingLeft();
}

TEST_F(SaneNet, BatchFromTheFeederGivesEveryPageThenStops)
{
    StartScanner("127.0.0.93", {PageBytes(true), "pages=3"});
    const stScanImageRun run =
        m_scan.Run(Args(m_strDevice, {"--source", "ADF", "--format=png", "--batch=page%d.png"}));
    ASSERT_TRUE(run.bExited);
    EXPECT_EQ(run.iExit, 0) << run.baErr.toStdString();
    EXPECT_TRUE(run.baErr.contains("Batch terminated, 3 pages scanned")) << run.baErr.toStdString();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(LargestDifference(m_scan.Image(QStringLiteral("page%1.png").arg(i + 1)), PatternPicture(i, true)), 0)
            << "page " << i + 1;
    EXPECT_FALSE(QFile::exists(m_scan.OutPath("page4.png")));
    ExpectNothingLeft();

    // A feeder that is empty from the start.
    ASSERT_TRUE(m_sim.Set("adf", "1"));
    const stScanImageRun empty = m_scan.Run(Args(m_strDevice, {"--source", "ADF", "--batch=e%d.png"}));
    EXPECT_TRUE(empty.baErr.contains("Document feeder out of documents")) << empty.baErr.toStdString();
}

TEST_F(SaneNet, FrontendBackendTestPasses)
{
    StartScanner("127.0.0.94", {PageBytes(true)});
    const stScanImageRun run = m_scan.Run(Args(m_strDevice, {"-T"}));
    ASSERT_TRUE(run.bExited);
    EXPECT_EQ(run.iExit, 0) << run.baErr.toStdString();
    EXPECT_FALSE(run.baErr.contains("FAIL")) << run.baErr.toStdString();
    ExpectNothingLeft();
}

TEST_F(SaneNet, ScannerFaultsBecomeSaneStatuses)
{
    StartScanner("127.0.0.95", {PageBytes(true)});
    ASSERT_TRUE(m_sim.Set("result", "91"));
    stScanImageRun run = m_scan.Run(Args(m_strDevice, {"-o", "busy.pnm"}));
    EXPECT_NE(run.iExit, 0);
    EXPECT_TRUE(run.baErr.contains("Device busy")) << run.baErr.toStdString();

    ASSERT_TRUE(m_sim.Set("result", "0"));
    ASSERT_TRUE(m_sim.Set("adf", "3"));
    run = m_scan.Run(Args(m_strDevice, {"--source", "ADF", "-o", "jam.pnm"}));
    EXPECT_TRUE(run.baErr.contains("Document feeder jammed")) << run.baErr.toStdString();

    // A raw page cut short is never passed on as a good one.
    ASSERT_TRUE(m_sim.Set("adf", "2"));
    ASSERT_TRUE(m_sim.Set("page_bytes", QString::number(c_iSide * c_iSide * 3 - 900)));
    run = m_scan.Run(Args(m_strDevice, {"-o", "short.pnm"}));
    EXPECT_NE(run.iExit, 0);
    EXPECT_TRUE(run.baErr.contains("Error during device I/O")) << run.baErr.toStdString();
    ExpectNothingLeft();
}

TEST_F(SaneNet, InterruptMidPageLeavesNothingBehind)
{
    StartScanner("127.0.0.96", {PageBytes(true), "block_bytes=9000", "block_delay_ms=200"});
    ASSERT_TRUE(m_scan.Start(Args(m_strDevice, {"-o", "int.pnm"})));
    ASSERT_TRUE(WaitUntil([&] { return !PageFiles().isEmpty(); }, seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return m_daemon.Processes().size() == 3; }, seconds(5))) << "no data process";
    kill(pid_t(m_scan.Process().processId()), SIGINT);
    ASSERT_TRUE(m_scan.Process().waitForFinished(10000));
    EXPECT_TRUE(m_scan.Process().readAllStandardError().contains("received signal"));
    ExpectNothingLeft();
    const QList<QByteArray> listHttp = m_sim.Received(NetScannerSim::c_szHttp);
    ASSERT_FALSE(listHttp.isEmpty());
    EXPECT_TRUE(listHttp.last().contains("SCANTYPE=4")) << "the scanner's job was not aborted";
}

TEST_F(SaneNet, OptionsFollowTheCapabilities)
{
    StartScanner("127.0.0.97", {"cap.MINRES=100", "cap.MAXRES=600", "cap.DUPLEX=false"});
    const stScanImageRun run = m_scan.Run({"-d", m_strDevice, "--help"});
    EXPECT_EQ(run.iExit, 0);
    const QByteArray &ba = run.baOut;
    EXPECT_TRUE(ba.contains("--resolution 100..600dpi")) << ba.toStdString();
    EXPECT_TRUE(ba.contains("--source Flatbed|ADF [Flatbed]")) << ba.toStdString();
    EXPECT_TRUE(ba.contains("--mode Lineart|Gray|Color [Color]")) << ba.toStdString();
    EXPECT_TRUE(ba.contains("-x 0..215.9")) << ba.toStdString();
}

// No daemon at all: no devices, a clear debug line, a normal end.
TEST(SaneNoDaemon, ListsNoDevices)
{
    ScanImage scan;
    scan.SetNetScanners({"net 127.0.0.98"});
    const stScanImageRun run = scan.Run({"-L"});
    ASSERT_TRUE(run.bExited);
    EXPECT_EQ(run.iExit, 0);
    EXPECT_TRUE(run.baOut.contains("No scanners were identified")) << run.baOut.toStdString();
    EXPECT_TRUE(run.baErr.contains("Unable to reach the scan daemon on 127.0.0.1:55200: Connection refused"))
        << run.baErr.toStdString();
}
}  // namespace
