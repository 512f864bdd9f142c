#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "TestSupport.h"
#include "ToolTestSupport.h"

using namespace std::chrono;

namespace
{
constexpr int c_iRawReady = 0;
constexpr int c_iKQRawReady = 1;
constexpr std::uint16_t c_usFrontCover = 0x1106;
constexpr std::uint16_t c_usTonerLow = 0x110D;
constexpr const char *c_szChineseLocale = "zh_CN.UTF-8";
constexpr const char *c_szEnglishLocale = "en_US.UTF-8";

struct stRun
{
    int iExit = -1;
    QString strOut;
};

class Printstat : public ::testing::Test
{
protected:
    // On a Chinese desktop unless told otherwise.
    stRun Run(const QStringList &listArgs, const QString &strLang = c_szChineseLocale, const QString &strLanguage = {})
    {
        ChildProcess process;
        stRun run;
        const QProcessEnvironment env = WithLocale(QProcessEnvironment::systemEnvironment(), strLang, strLanguage);
        if (!process.Start(PRINTSTAT_PATH, listArgs, env) || !process.WaitExit(seconds(30)) || !process.ExitedNormally())
            return run;
        run.iExit = process.ExitCode();
        run.strOut = QString::fromUtf8(process.Output());
        return run;
    }

    TestInstallRoot m_root;
};
}  // namespace

TEST_F(Printstat, OneLinePerPrinterAndTheExitStatusTellsErrors)
{
    stRun run = Run({});
    EXPECT_EQ(run.iExit, 0);
    EXPECT_TRUE(run.strOut.isEmpty());

    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), {ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "OSTREL/VX3010"),
                                                ToolPrinter("Office", c_szModelKQ, CONNECT_NETWORK, "127.0.0.2"),
                                                ToolPrinter("Gone", c_szModelKQ, CONNECT_NETWORK, "127.0.0.3")}));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), StandardStatus(c_iRawReady, {}, {c_usTonerLow}, 1250)));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {}, {}, 80)));
    run = Run({});
    EXPECT_EQ(run.iExit, 0);
    EXPECT_EQ(run.strOut, QString::fromUtf8("Lab\tUSB\t12.50%\t就绪\t碳粉不足\n"
                                            "Office\t网络(127.0.0.2)\t80.00%\t就绪\t\n"
                                            "Gone\t网络(127.0.0.3)\t0.00%\t脱机\t\n"));

    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {c_usFrontCover}, {}, 80)));
    run = Run({"--lang", "en"});
    EXPECT_EQ(run.iExit, 1);
    EXPECT_TRUE(run.strOut.contains("Office\tNetwork(127.0.0.2)\t80.00%\tFront cover open\t\n"))
        << run.strOut.toStdString();
}

TEST_F(Printstat, TextsFollowTheLocaleUnlessToldOtherwise)
{
    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), {ToolPrinter("Office", c_szModelKQ, CONNECT_NETWORK, "127.0.0.2")}));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {}, {c_usTonerLow}, 80)));
    const QString strChinese = QString::fromUtf8("Office\t网络(127.0.0.2)\t80.00%\t就绪\t碳粉不足\n");
    const QString strEnglish = "Office\tNetwork(127.0.0.2)\t80.00%\tReady\tToner low\n";
    EXPECT_EQ(Run({}, c_szEnglishLocale).strOut, strEnglish);
    EXPECT_EQ(Run({}, c_szChineseLocale).strOut, strChinese);
    EXPECT_EQ(Run({}, c_szEnglishLocale, "zh_CN:en").strOut, strChinese);
    EXPECT_EQ(Run({}, c_szChineseLocale, "en_GB:zh").strOut, strEnglish);
    EXPECT_EQ(Run({}, "C").strOut, strEnglish);
    EXPECT_EQ(Run({"--lang", "zh"}, c_szEnglishLocale).strOut, strChinese);
    EXPECT_EQ(Run({"--lang", "en"}, c_szChineseLocale, "zh_CN").strOut, strEnglish);
}

TEST_F(Printstat, JsonForScripts)
{
    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), {ToolPrinter("Office", c_szModelKQ, CONNECT_NETWORK, "127.0.0.2")}));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {c_usFrontCover}, {c_usTonerLow}, 55)));
    const stRun run = Run({"--json"});
    EXPECT_EQ(run.iExit, 1);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(run.strOut.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << run.strOut.toStdString();
    const QJsonArray printers = doc.object().value("printers").toArray();
    ASSERT_EQ(printers.size(), 1);
    const QJsonObject office = printers.at(0).toObject();
    EXPECT_EQ(office.value("name").toString(), "Office");
    EXPECT_EQ(office.value("model").toString(), c_szModelKQ);
    EXPECT_EQ(office.value("connection").toString(), "network");
    EXPECT_EQ(office.value("port").toString(), "127.0.0.2");
    EXPECT_EQ(office.value("toner").toDouble(), 55.0);
    EXPECT_EQ(office.value("state").toInt(), int(STATUS_READY));
    EXPECT_EQ(office.value("text").toString(), QString::fromUtf8("前盖已打开"));
    EXPECT_EQ(office.value("errors").toArray().at(0).toObject().value("code").toInt(), int(ERR_FRONT_COVER_OPEN));
    EXPECT_EQ(office.value("warnings").toArray().at(0).toObject().value("text").toString(),
              QString::fromUtf8("碳粉不足"));
}

// The service's metrics read from the files: the locale changes no text, an off-line
// printer has no toner, and only the service knows when a printer last answered.
TEST_F(Printstat, PrometheusTextFromTheFiles)
{
    ASSERT_TRUE(WritePrinterList(m_root.Cfg(), {ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "OSTREL/VX3010"),
                                                ToolPrinter("Gone", c_szModelKQ, CONNECT_NETWORK, "127.0.0.3")}));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Lab.dat"), StandardStatus(c_iRawReady, {}, {c_usTonerLow}, 1250)));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("service.hb"), "[2026-12-06 22:38:10.123]"));
    const stRun run = Run({"--prometheus"});
    EXPECT_EQ(run.iExit, 0);
    const QString strLab = "{queue=\"Lab\",model=\"" + QString(c_szModelStandard) + "\",connection=\"usb\"";
    const QString strGone = "{queue=\"Gone\",model=\"" + QString(c_szModelKQ) + "\",connection=\"network\"";
    for (const QString &strLine : {"ostrel_printer_up" + strLab + "} 1", "ostrel_printer_up" + strGone + "} 0",
                                   "ostrel_printer_toner_remaining_ratio" + strLab + "} 0.1250",
                                   "ostrel_printer_state" + strLab + ",state=\"ready\"} 1",
                                   "ostrel_printer_state" + strGone + ",state=\"offline\"} 1",
                                   "ostrel_printer_warning" + strLab + ",code=\"11\",text=\"Toner low\"} 1",
                                   QString("ostrel_printsvc_heartbeat_timestamp_seconds %1")
                                       .arg(QDateTime::fromString("2026-12-06 22:38:10.123", "yyyy-MM-dd hh:mm:ss.zzz")
                                                .toMSecsSinceEpoch() / 1000.0, 0, 'f', 3)})
        EXPECT_TRUE(run.strOut.split('\n').contains(strLine)) << strLine.toStdString() << "\n" << run.strOut.toStdString();
    EXPECT_FALSE(run.strOut.contains("ostrel_printer_toner_remaining_ratio" + strGone));
    EXPECT_FALSE(run.strOut.contains("last_status_reply"));
}

TEST_F(Printstat, UsageErrors)
{
    for (const QStringList &listArgs : {QStringList{"--bogus"}, QStringList{"--lang"}, QStringList{"--lang", "fr"},
                                        QStringList{"--json", "--prometheus"}})
        EXPECT_EQ(Run(listArgs).iExit, 2) << listArgs.join(' ').toStdString();
    const stRun run = Run({"--help"});
    EXPECT_EQ(run.iExit, 0);
    EXPECT_TRUE(run.strOut.startsWith("usage: printstat"));
}
