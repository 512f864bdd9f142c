// The printers' metrics as an administrator's Prometheus gets them: printsvc against a
// private cupsd and simulated printers, read by the real node_exporter's textfile
// collector; printstat's text checked by promtool.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <chrono>
#include <cmath>
#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "PrinterSim.h"
#include "PrivateCups.h"
#include "TestSupport.h"

using namespace std::chrono;

namespace
{
constexpr const char *c_szKQQueue = "Office";
constexpr const char *c_szHostileQueue = "a\"b\\c";
constexpr const char *c_szHostileLabel = "queue=\"a\\\"b\\\\c\"";
constexpr int c_iScrapeMax = 4 * 1024 * 1024;
constexpr int c_iScrapeTimeoutSec = 5;
// Well within "a few seconds": network printers that are not ready are asked every second.
constexpr seconds c_changeSeen{5};
// Six failed polls, each up to the two-second receive time-out, make a printer off-line.
constexpr seconds c_offlineSeen{30};

quint16 FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    quint16 usPort = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        usPort = ntohs(addr.sin_port);
    if (fd >= 0)
        ::close(fd);
    return usPort;
}

// The body of GET /metrics; empty when the exporter does not answer.
QByteArray Scrape(quint16 usPort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return {};
    timeval tv = {c_iScrapeTimeoutSec, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(usPort);
    QByteArray ba;
    const QByteArray baRequest = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        ::send(fd, baRequest.constData(), baRequest.size(), MSG_NOSIGNAL) == baRequest.size()) {
        char buf[65536];
        ssize_t n = 0;
        while (ba.size() < c_iScrapeMax && (n = ::recv(fd, buf, sizeof(buf), 0)) > 0)
            ba.append(buf, int(n));
    }
    ::close(fd);
    const int iBody = ba.indexOf("\r\n\r\n");
    return ba.startsWith("HTTP/1.") && ba.contains(" 200 ") && iBody > 0 ? ba.mid(iBody + 4) : QByteArray();
}

// The value of the one sample of a family whose labels hold every given fragment; NaN
// when there is none. The exporter sorts labels, so fragments are matched one by one.
double Value(const QByteArray &baText, const QByteArray &baName, const QList<QByteArray> &listFragment = {})
{
    for (const QByteArray &line : baText.split('\n')) {
        if (!line.startsWith(baName + '{') && !line.startsWith(baName + ' '))
            continue;
        const int iEnd = line.lastIndexOf(' ');
        const QByteArray baSeries = line.left(iEnd);
        if (std::all_of(listFragment.begin(), listFragment.end(),
                        [&](const QByteArray &f) { return baSeries.contains(f); }))
            return line.mid(iEnd + 1).toDouble();
    }
    return std::nan("");
}

QByteArray Queue(const QByteArray &baName)
{
    return "queue=\"" + baName + "\"";
}

class MetricsE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_cups.Start()) << m_cups.LastError().toStdString();
        ASSERT_TRUE(QDir().mkpath(MetricsDir()));
    }

    void TearDown() override
    {
        for (ChildProcess *pChild : {&m_service, &m_exporter}) {
            if (pChild->Running()) {
                pChild->Signal(SIGTERM);
                EXPECT_TRUE(pChild->WaitExit(seconds(10)));
            }
        }
    }

    QString MetricsDir() const { return m_root.Path() + "/metrics"; }

    bool StartExporter()
    {
        m_usPort = FreeLoopbackPort();
        const QStringList listArgs = {"--collector.disable-defaults", "--collector.textfile",
                                      "--collector.textfile.directory=" + MetricsDir(),
                                      QString("--web.listen-address=127.0.0.1:%1").arg(m_usPort)};
        return m_usPort != 0 && m_exporter.Start(NODE_EXPORTER_PATH, listArgs) &&
               WaitUntil([&] { return !Scrape(m_usPort).isEmpty(); }, seconds(10));
    }

    QProcessEnvironment Env() const
    {
        QProcessEnvironment env = m_cups.ServiceEnv(m_root.Path());
        env.insert("OSTREL_METRICS_DIR", MetricsDir());
        return env;
    }

    // A queue whose name the scheduler refuses still reaches printers.conf when someone
    // writes the file: the queue is added under a plain name and renamed in the file.
    bool AddHostileQueue(const QString &strUri)
    {
        const QString strPlain = "Hostile";
        if (!m_cups.AddQueue(strPlain, strUri, "OSTREL VX3310 Pro"))
            return false;
        QByteArray baConf = m_cups.PrintersConf();
        baConf.replace("<Printer " + strPlain.toUtf8() + ">", QByteArray("<Printer ") + c_szHostileQueue + ">");
        const QString strPpdDir = m_cups.ServerRoot() + "/ppd/";
        return WriteWholeFile(m_cups.ServerRoot() + "/printers.conf", baConf) &&
               QFile::copy(m_cups.PpdPath(strPlain), strPpdDir + QString::fromUtf8(c_szHostileQueue) + ".ppd");
    }

    // What printsvc says over its first pass, which publishes the printers (twice: the
    // heartbeat, then the new set), or would.
    QByteArray FirstPassOutput()
    {
        ChildProcess service;
        if (!service.Start(PRINTSVC_PATH, {}, Env()))
            return "printsvc did not start";
        EXPECT_TRUE(WaitUntil([&] { return QFile::exists(m_root.Cfg("printerlist.ini")); }, seconds(10)));
        service.Signal(SIGTERM);
        EXPECT_TRUE(service.WaitExit(seconds(10)));
        return service.Output();
    }

    QByteArray Printstat(const QStringList &listArgs)
    {
        ChildProcess process;
        if (!process.Start(PRINTSTAT_PATH, listArgs, Env()) || !process.WaitExit(seconds(30)))
            return {};
        return process.Output();
    }

    TestInstallRoot m_root;
    PrivateCups m_cups;
    ChildProcess m_service;
    ChildProcess m_exporter;
    quint16 m_usPort = 0;
};
}  // namespace

TEST_F(MetricsE2E, NodeExporterServesThePrintersAndFollowsThem)
{
    PrinterSim standard, kq, hostile;
    ASSERT_TRUE(standard.Start("127.0.0.60", "standard", {"status=2", "toner=64", "warnings=0x110D"}));
    ASSERT_TRUE(kq.Start("127.0.0.61", "kq", {"status=2", "toner=40"}));
    ASSERT_TRUE(hostile.Start("127.0.0.62", "kq", {"status=3", "toner=90"}));
    // Lower case matches the catalogue but not the KQ family: the standard layout.
    ASSERT_TRUE(m_cups.AddQueue("Std", "socket://127.0.0.60:9100", "ostrel vx1310"));
    ASSERT_TRUE(m_cups.AddQueue(c_szKQQueue, "socket://127.0.0.61:9100", "OSTREL VX3310 Pro"));
    ASSERT_TRUE(AddHostileQueue("socket://127.0.0.62:9100"));
    // A name with a line end cannot be a line of printers.conf; the scheduler refuses it.
    EXPECT_FALSE(m_cups.AddQueue("two\nlines", "socket://127.0.0.63:9100", "OSTREL VX1310"));

    ASSERT_TRUE(StartExporter());
    ASSERT_TRUE(m_service.Start(PRINTSVC_PATH, {}, Env()));

    QByteArray ba;
    const auto seen = [&](const QByteArray &baName, const QList<QByteArray> &listFragment, double dWant) {
        return WaitUntil(
            [&] {
                ba = Scrape(m_usPort);
                return std::fabs(Value(ba, baName, listFragment) - dWant) < 1e-6;
            },
            c_changeSeen, milliseconds(200));
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
            ba = Scrape(m_usPort);
            return Value(ba, "ostrel_printer_up", {Queue("Std")}) == 1 && Value(ba, "ostrel_printer_up", {Queue(c_szKQQueue)}) == 1 &&
                   Value(ba, "ostrel_printer_up", {c_szHostileLabel}) == 1;
        },
        seconds(20), milliseconds(200)))
        << ba.toStdString();

    // What the simulators say, as the tray tool would show it.
    EXPECT_EQ(Value(ba, "node_textfile_scrape_error"), 0) << "the hostile name broke the file";
    EXPECT_EQ(Value(ba, "ostrel_printer_state", {Queue("Std"), "state=\"busy\""}), 1);
    EXPECT_EQ(Value(ba, "ostrel_printer_state", {Queue("Std"), "state=\"ready\""}), 0);
    EXPECT_NEAR(Value(ba, "ostrel_printer_toner_remaining_ratio", {Queue("Std"), "connection=\"network\""}), 0.0064, 1e-6)
        << "hundredths of a percent in the standard layout";
    EXPECT_EQ(Value(ba, "ostrel_printer_warning", {Queue("Std"), "code=\"11\"", "text=\"Toner low\""}), 1);
    EXPECT_EQ(Value(ba, "ostrel_printer_state", {Queue(c_szKQQueue), "state=\"initialize\"", "model=\"OSTREL VX3310 Pro\""}), 1);
    EXPECT_NEAR(Value(ba, "ostrel_printer_toner_remaining_ratio", {Queue(c_szKQQueue)}), 0.40, 1e-6);
    EXPECT_NEAR(Value(ba, "ostrel_printer_toner_remaining_ratio", {c_szHostileLabel}), 0.90, 1e-6);
    const double dNow = duration<double>(system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(Value(ba, "ostrel_printsvc_heartbeat_timestamp_seconds"), dNow, 70);
    EXPECT_NEAR(Value(ba, "ostrel_printer_last_status_reply_timestamp_seconds", {Queue(c_szKQQueue)}), dNow, 70);

    // printstat prints the same families, in a form promtool accepts.
    const QByteArray baPrintstat = Printstat({"--prometheus"});
    EXPECT_TRUE(baPrintstat.contains("ostrel_printer_up{queue=\"a\\\"b\\\\c\",model=\"OSTREL VX3310 Pro\",connection=\"network\"} 1"))
        << baPrintstat.toStdString();
    ChildProcess promtool;
    ASSERT_TRUE(promtool.Start(PROMTOOL_PATH, {"check", "metrics"}));
    ASSERT_TRUE(promtool.Write(baPrintstat));
    ASSERT_TRUE(promtool.WaitExit(seconds(30)));
    EXPECT_EQ(promtool.ExitCode(), 0) << promtool.Output().toStdString();

    // Changes at the printers reach the scrape within seconds, once the printers are polled
    // at their pace (a printer that never answered is asked every ten seconds). The
    // printer switched off meanwhile counts its unanswered polls.
    ASSERT_TRUE(WaitUntil([&] { return kq.Count(PrinterSim::c_szKindKQ) >= 2 && standard.Count(PrinterSim::c_szKindStandard) >= 2; },
                          seconds(20)));
    const double dLastReply = Value(Scrape(m_usPort), "ostrel_printer_last_status_reply_timestamp_seconds", {c_szHostileLabel});
    ASSERT_TRUE(hostile.Set("silent", "1"));
    ASSERT_TRUE(kq.Set("toner", "7"));
    EXPECT_TRUE(seen("ostrel_printer_toner_remaining_ratio", {Queue(c_szKQQueue)}, 0.07)) << ba.toStdString();
    ASSERT_TRUE(kq.Set("status", "3"));
    EXPECT_TRUE(seen("ostrel_printer_state", {Queue(c_szKQQueue), "state=\"busy\""}, 1)) << ba.toStdString();
    ASSERT_TRUE(standard.Set("errors", "0x1106"));
    EXPECT_TRUE(seen("ostrel_printer_error", {Queue("Std"), "code=\"6\"", "text=\"Front cover open\""}, 1))
        << ba.toStdString();

    // Switched off: it stops answering, keeps its last reply time and loses its toner.
    EXPECT_TRUE(WaitUntil(
        [&] {
            ba = Scrape(m_usPort);
            return Value(ba, "ostrel_printer_up", {c_szHostileLabel}) == 0;
        },
        c_offlineSeen, milliseconds(500)))
        << ba.toStdString();
    EXPECT_EQ(Value(ba, "ostrel_printer_state", {c_szHostileLabel, "state=\"offline\""}), 1);
    EXPECT_TRUE(std::isnan(Value(ba, "ostrel_printer_toner_remaining_ratio", {c_szHostileLabel})));
    EXPECT_GE(Value(ba, "ostrel_printer_last_status_reply_timestamp_seconds", {c_szHostileLabel}), dLastReply);
    EXPECT_EQ(Value(ba, "ostrel_printer_up", {Queue(c_szKQQueue)}), 1);
    EXPECT_EQ(Value(ba, "node_textfile_scrape_error"), 0);
}

TEST_F(MetricsE2E, NoDirectoryMeansNoFileAndNoComplaint)
{
    ASSERT_TRUE(QDir(MetricsDir()).removeRecursively());
    ASSERT_TRUE(m_cups.AddQueue("Office", "socket://127.0.0.64:9100", "OSTREL VX3310 Pro"));
    const QByteArray baOutput = FirstPassOutput();
    EXPECT_FALSE(QFileInfo::exists(MetricsDir()));
    EXPECT_FALSE(baOutput.contains(QFile::encodeName(MetricsDir()))) << baOutput.toStdString();
    EXPECT_FALSE(baOutput.contains("Unable to write")) << baOutput.toStdString();
}

TEST_F(MetricsE2E, FileThatCannotBeWrittenIsReportedOnce)
{
    // A directory in the file's place: the rename fails, even for root.
    ASSERT_TRUE(QDir(MetricsDir()).mkdir("ostrel-printers.prom"));
    ASSERT_TRUE(m_cups.AddQueue("Office", "socket://127.0.0.65:9100", "OSTREL VX3310 Pro"));
    const QByteArray baOutput = FirstPassOutput();
    EXPECT_EQ(baOutput.count("Unable to write \"" + QFile::encodeName(MetricsDir()) + "/ostrel-printers.prom\": "), 1)
        << baOutput.toStdString();
}
