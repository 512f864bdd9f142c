#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "PrinterModel.h"
#include "UtilMetrics.h"

namespace
{
UtilMetrics::stPrinterSample Printer(const QString &strQueue)
{
    UtilMetrics::stPrinterSample p;
    p.strQueue = strQueue;
    p.strModel = "OSTREL VX1310";
    p.iConnectType = CONNECT_NETWORK;
    p.bAnswers = true;
    p.iState = STATUS_READY;
    p.dTonerRatio = 0.64;
    p.llLastReplyMs = 1700000000250;
    return p;
}

QList<QByteArray> Lines(const QByteArray &ba)
{
    QList<QByteArray> list = ba.split('\n');
    EXPECT_EQ(list.takeLast(), QByteArray()) << "the text ends in a line end";
    return list;
}

QList<QByteArray> SamplesOf(const QByteArray &ba, const QByteArray &baName)
{
    QList<QByteArray> list;
    for (const QByteArray &line : Lines(ba)) {
        if (line.startsWith(baName + '{') || line.startsWith(baName + ' '))
            list.append(line);
    }
    return list;
}

// A scratch directory whose files are looked at by mode: the process's umask must not
// decide what the collector's user may read.
class MetricsFile : public ::testing::Test
{
protected:
    void SetUp() override { m_oldMask = ::umask(077); }
    void TearDown() override { ::umask(m_oldMask); }

    QTemporaryDir m_dir;
    mode_t m_oldMask = 0;
};
}  // namespace

TEST(MetricsText, HostileQueueNamesAreEscapedAsTheFormatRequires)
{
    UtilMetrics::stSnapshot snapshot;
    snapshot.listPrinter = {Printer("a\"b\\c"), Printer("two\nlines"), Printer("{x}=y,z=\"")};
    const QByteArray ba = UtilMetrics::Render(snapshot);
    const QList<QByteArray> listUp = SamplesOf(ba, "ostrel_printer_up");
    ASSERT_EQ(listUp.size(), 3);
    EXPECT_EQ(listUp.at(0), "ostrel_printer_up{queue=\"a\\\"b\\\\c\",model=\"OSTREL VX1310\",connection=\"network\"} 1");
    EXPECT_EQ(listUp.at(1), "ostrel_printer_up{queue=\"two\\nlines\",model=\"OSTREL VX1310\",connection=\"network\"} 1");
    EXPECT_EQ(listUp.at(2), "ostrel_printer_up{queue=\"{x}=y,z=\\\"\",model=\"OSTREL VX1310\",connection=\"network\"} 1");
    for (const QByteArray &line : Lines(ba))
        EXPECT_TRUE(line.startsWith("# ") || line.startsWith("ostrel_")) << "no line broken by a name: " << line.data();

    EXPECT_EQ(UtilMetrics::EscapeLabelValue(QString::fromUtf8("\\\\n\r\t\"打印机")), QByteArray("\\\\\\\\n\r\t\\\"") + QString::fromUtf8("打印机").toUtf8());
}

TEST(MetricsText, EveryFamilyOnceWithHelpAndTypeBeforeItsSamples)
{
    UtilMetrics::stPrinterSample usb = Printer("Desk");
    usb.iConnectType = CONNECT_USB;
    usb.listError = {{ERR_FRONT_COVER_OPEN, "Front cover open"}};
    usb.listWarning = {{ERR_TONER_LOW, "Toner low"}};
    UtilMetrics::stSnapshot snapshot;
    snapshot.listPrinter = {usb, Printer("Hall")};
    snapshot.llHeartbeatMs = 1700000001500;
    const QByteArray ba = UtilMetrics::Render(snapshot);

    const QList<QByteArray> listFamily = {
        "ostrel_printsvc_heartbeat_timestamp_seconds", "ostrel_printer_up", "ostrel_printer_state",
        "ostrel_printer_toner_remaining_ratio",        "ostrel_printer_error", "ostrel_printer_warning",
        "ostrel_printer_last_status_reply_timestamp_seconds",
    };
    const QList<QByteArray> listLine = Lines(ba);
    for (const QByteArray &name : listFamily) {
        int iHelpCount = 0, iTypeAt = -1, iFirstSample = -1;
        for (int i = 0; i < listLine.size(); ++i) {
            const QByteArray &line = listLine.at(i);
            iHelpCount += line.startsWith("# HELP " + name + ' ');
            if (line == "# TYPE " + name + " gauge")
                iTypeAt = iTypeAt < 0 ? i : -2;
            if (iFirstSample < 0 && (line.startsWith(name + '{') || line.startsWith(name + ' ')))
                iFirstSample = i;
        }
        EXPECT_EQ(iHelpCount, 1) << name.data();
        EXPECT_GE(iTypeAt, 0) << name.data();
        EXPECT_EQ(iFirstSample, iTypeAt + 1) << name.data();
    }

    EXPECT_EQ(SamplesOf(ba, "ostrel_printsvc_heartbeat_timestamp_seconds"),
              QList<QByteArray>{"ostrel_printsvc_heartbeat_timestamp_seconds 1700000001.500"});
    EXPECT_EQ(SamplesOf(ba, "ostrel_printer_error"),
              QList<QByteArray>{"ostrel_printer_error{queue=\"Desk\",model=\"OSTREL VX1310\",connection=\"usb\","
                                "code=\"6\",text=\"Front cover open\"} 1"});
    EXPECT_EQ(SamplesOf(ba, "ostrel_printer_warning").size(), 1);
    EXPECT_EQ(SamplesOf(ba, "ostrel_printer_toner_remaining_ratio").value(1),
              "ostrel_printer_toner_remaining_ratio{queue=\"Hall\",model=\"OSTREL VX1310\",connection=\"network\"} 0.6400");
    EXPECT_EQ(SamplesOf(ba, "ostrel_printer_last_status_reply_timestamp_seconds").value(0),
              "ostrel_printer_last_status_reply_timestamp_seconds{queue=\"Desk\",model=\"OSTREL VX1310\","
              "connection=\"usb\"} 1700000000.250");
}

TEST(MetricsText, StateIsOneSeriesPerStateWithTheCurrentOneSet)
{
    UtilMetrics::stSnapshot snapshot;
    snapshot.listPrinter = {Printer("Hall")};
    snapshot.listPrinter[0].iState = STATUS_PRINTING;
    const QList<QByteArray> listState = SamplesOf(UtilMetrics::Render(snapshot), "ostrel_printer_state");
    ASSERT_EQ(listState.size(), int(STATUS_COUNT));
    QList<QByteArray> listSet;
    for (const QByteArray &line : listState) {
        if (line.endsWith(" 1"))
            listSet.append(line);
        else
            EXPECT_TRUE(line.endsWith(" 0")) << line.data();
    }
    EXPECT_EQ(listSet, QList<QByteArray>{"ostrel_printer_state{queue=\"Hall\",model=\"OSTREL VX1310\","
                                         "connection=\"network\",state=\"printing\"} 1"});
}

TEST(MetricsText, OfflinePrinterHasNoTonerButKeepsItsLastReply)
{
    UtilMetrics::stPrinterSample offline = Printer("Hall");
    offline.bAnswers = false;
    offline.iState = STATUS_OFFLINE;
    UtilMetrics::stPrinterSample never = Printer("New");
    never.bAnswers = false;
    never.llLastReplyMs = 0;
    UtilMetrics::stSnapshot snapshot;
    snapshot.listPrinter = {offline, never};
    const QByteArray ba = UtilMetrics::Render(snapshot);
    EXPECT_TRUE(SamplesOf(ba, "ostrel_printer_up").value(0).endsWith("} 0"));
    EXPECT_TRUE(SamplesOf(ba, "ostrel_printer_toner_remaining_ratio").isEmpty())
        << "an off-line printer must not look like one with an empty cartridge";
    EXPECT_FALSE(ba.contains("# HELP ostrel_printer_toner_remaining_ratio")) << "no family without samples";
    EXPECT_EQ(SamplesOf(ba, "ostrel_printer_last_status_reply_timestamp_seconds").size(), 1);
    EXPECT_FALSE(ba.contains("heartbeat")) << "no heartbeat when none is known";
}

TEST(MetricsText, ConditionsMappedToOneCatalogueEntryAppearOnce)
{
    UtilMetrics::stPrinterSample p = Printer("Hall");
    p.listError = {{ERR_PRINTER_BREAKDOWN, "Printer breakdown"},
                   {ERR_PRINTER_BREAKDOWN, "Printer breakdown"},
                   {ERR_PRINTER_BREAKDOWN2, "Printer breakdown"}};
    UtilMetrics::stSnapshot snapshot;
    snapshot.listPrinter = {p};
    EXPECT_EQ(SamplesOf(UtilMetrics::Render(snapshot), "ostrel_printer_error").size(), 2);
}

TEST_F(MetricsFile, ReplacedWholeAndReadableByTheCollector)
{
    ASSERT_TRUE(UtilMetrics::WriteFile(m_dir.path(), "first\n"));
    const QString strPath = m_dir.filePath(UtilMetrics::c_szFileName);
    struct stat st = {};
    ASSERT_EQ(::stat(QFile::encodeName(strPath).constData(), &st), 0);
    const ino_t inoFirst = st.st_ino;
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    ASSERT_TRUE(UtilMetrics::WriteFile(m_dir.path(), "second\n"));
    ASSERT_EQ(::stat(QFile::encodeName(strPath).constData(), &st), 0);
    EXPECT_NE(st.st_ino, inoFirst) << "replaced by rename, never rewritten in place";
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    QFile file(strPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "second\n");
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{UtilMetrics::c_szFileName})
        << "nothing left beside it";

    EXPECT_FALSE(UtilMetrics::WriteFile(m_dir.filePath("missing"), "x\n"));
}

TEST_F(MetricsFile, DirectoryComesFromTheVariableAndMustExist)
{
    const QByteArray baOld = qgetenv(UtilMetrics::c_szDirEnv);
    qputenv(UtilMetrics::c_szDirEnv, QFile::encodeName(m_dir.path()));
    EXPECT_EQ(UtilMetrics::Directory(), m_dir.path());
    qputenv(UtilMetrics::c_szDirEnv, QFile::encodeName(m_dir.filePath("missing")));
    EXPECT_TRUE(UtilMetrics::Directory().isEmpty()) << "no directory, nothing written";
    qputenv(UtilMetrics::c_szDirEnv, baOld);
}
