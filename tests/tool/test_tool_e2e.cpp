// The whole road of one event: a network printer (the simulator) runs low on toner,
// printsvc polls it for a queue of a private scheduler and writes its status file,
// and printtool's row and notification follow.
#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>

#include <iostream>

#include "GuiSession.h"
#include "PrinterSim.h"
#include "PrivateCups.h"
#include "TestSupport.h"
#include "ToolTestSupport.h"

using namespace std::chrono;

namespace
{
constexpr seconds c_waitStart{60};
// The service polls an off-line network printer every 10 s, a busy one every second.
constexpr seconds c_waitChange{60};
const char *const c_szAddress = "127.0.0.157";
const char *const c_szQueue = "Office";
const char *const c_szKQBusy = "3";       // the KQ state record's "busy"
const char *const c_szTonerLow = "110D";  // condition code of "toner low"

// The tool's own log of the record behind a row, written right after the row is set.
QString ToolLog(const QString &strPrefix)
{
    QString strLog;
    const QDir dir(strPrefix + "/tool");
    for (const QString &strFile : dir.entryList({"log_tool_*.log"}, QDir::Files, QDir::Name))
        strLog += QString::fromUtf8(ReadWholeFile(dir.filePath(strFile)));
    return strLog;
}

bool NotifiedTonerLow(const QString &strNotifyLog)
{
    for (const QString &strLine : strNotifyLog.split('\n')) {
        if (strLine.contains(QString::fromUtf8(R"( "Office" "碳粉不足" )")) && strLine.endsWith(" 3000"))
            return true;
    }
    return false;
}
}  // namespace

TEST(ToolEndToEnd, TonerLowReachesTheRowAndTheTray)
{
    const stGuiOptions options{QSize(1920, 1080), false, true};
    const QString strMissing = GuiSession::MissingProgram(options);
    if (!strMissing.isEmpty())
        GTEST_SKIP() << strMissing.toStdString() << " is not installed";

    PrivateCups cups;
    ASSERT_TRUE(cups.Start()) << cups.LastError().toStdString();
    ASSERT_TRUE(cups.AddQueue(c_szQueue, QString("socket://%1:9100").arg(c_szAddress), "OSTREL VX3310 Pro"))
        << cups.LastError().toStdString();
    PrinterSim printer;
    ASSERT_TRUE(printer.Start(c_szAddress, "kq", {QString("status=") + c_szKQBusy, "toner=80"}))
        << printer.Output().toStdString();

    TestInstallRoot root;
    QProcessEnvironment envService = cups.Env();
    envService.insert("OSTREL_PREFIX", root.Path());
    ChildProcess service;
    ASSERT_TRUE(service.Start(PRINTSVC_PATH, {}, envService));

    GuiSession session;
    ASSERT_TRUE(session.Start(options)) << session.Why().toStdString();
    QProcessEnvironment envTool = session.Env(root.Path());
    envTool.insert("OSTREL_LOG", "1");
    ChildProcess tool;
    ASSERT_TRUE(tool.Start(PRINTTOOL_PATH, {}, envTool));

    const auto LogHas = [&](const char *szLine) { return ToolLog(root.Path()).contains(szLine); };
    ASSERT_TRUE(WaitUntil([&] { return LogHas("Office: dwRemainingToner=80\n"); }, c_waitStart))
        << "service: " << service.Output().toStdString() << "\ntool: " << tool.Output().toStdString();
    EXPECT_TRUE(LogHas("Office: enCurrentStatus=5\n"));

    ASSERT_TRUE(printer.Set("warnings", c_szTonerLow));
    ASSERT_TRUE(printer.Set("toner", "30"));
    EXPECT_TRUE(WaitUntil([&] { return LogHas("Office: dwRemainingToner=30\n"); }, c_waitChange));
    EXPECT_TRUE(LogHas("Office: warning code=11\n"));
    EXPECT_TRUE(WaitUntil([&] { return NotifiedTonerLow(session.NotifyLog()); }, c_waitChange))
        << session.NotifyLog().toStdString();

    const std::optional<stXWindow> window = session.VisibleWindowNamed("printtool", QString::fromUtf8("Ostrel激光打印助手"));
    ASSERT_TRUE(window.has_value());
    QDir().mkpath(TOOL_ARTIFACT_DIR);
    const QString strShot = QString(TOOL_ARTIFACT_DIR) + "/printtool-end-to-end.png";
    EXPECT_TRUE(session.Screenshot(strShot, window->strId));
    std::cout << "screenshot: " << strShot.toStdString() << std::endl;
}
