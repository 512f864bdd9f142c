#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <thread>
#include <vector>

#include "TestSupport.h"
#include "UtilLog.h"

namespace
{
// The tests' own log files, apart from any program's.
class LogProfileEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { SetLogProfile({"log", "log_test"}); }
};
::testing::Environment *const s_pLogProfile = ::testing::AddGlobalTestEnvironment(new LogProfileEnvironment);

QStringList LogFiles(const TestInstallRoot &root)
{
    return QDir(root.Path() + "/log").entryList({"log_test_*.log"}, QDir::Files, QDir::Name);
}

QByteArray LogText(const TestInstallRoot &root, const QString &strFile)
{
    return ReadWholeFile(root.Path() + "/log/" + strFile);
}
}  // namespace

TEST(Log, OffByDefaultWritesNothingAndCreatesNoDirectory)
{
    TestInstallRoot root;
    WriteStringLog("../x.cpp", 1, "f", "nothing %d", 1);
    EXPECT_FALSE(QDir(root.Path() + "/log").exists());
    SetLogEnable(true);
    SetLogEnable(false);
    WriteStringLog("../x.cpp", 1, "f", "still nothing");
    EXPECT_TRUE(LogFiles(root).isEmpty());
}

TEST(Log, LineFormatAndPrintfArguments)
{
    TestInstallRoot root;
    SetLogEnable(true);
    WriteStringLog("../main.cpp", 22, "main", "Start service, enable log");
    WriteStringLog("../p.cpp", 7, "poll", "connect %s fail, ret = %d", "Office", -5);
    LOG_WRITE("from the macro");

    const QStringList listFiles = LogFiles(root);
    ASSERT_EQ(listFiles.size(), 1);
    EXPECT_TRUE(QRegularExpression("^log_test_\\d{8}_\\d{6}_0\\.log$").match(listFiles[0]).hasMatch()) << listFiles[0].toStdString();
    const QList<QByteArray> lines = LogText(root, listFiles[0]).split('\n');
    ASSERT_EQ(lines.size(), 4);
    const QRegularExpression stamp("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\(");
    EXPECT_TRUE(stamp.match(QString(lines[0])).hasMatch());
    EXPECT_TRUE(lines[0].endsWith("] (../main.cpp@22 main) Start service, enable log"));
    EXPECT_TRUE(lines[1].endsWith("(../p.cpp@7 poll) connect Office fail, ret = -5"));
    EXPECT_TRUE(lines[2].contains("(../common/test_log.cpp@")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].isEmpty());
}

TEST(Log, LongMessagesAreCutAt1023Bytes)
{
    TestInstallRoot root;
    SetLogEnable(true);
    const std::string strLong(5000, 'x');
    WriteStringLog("../a.cpp", 1, "f", "%s", strLong.c_str());
    const QByteArray text = LogText(root, LogFiles(root).value(0));
    ASSERT_TRUE(text.endsWith('\n'));
    EXPECT_EQ(text.count('x'), 1023);
}

TEST(Log, RotatesOnlyAboveOneMebibyte)
{
    TestInstallRoot root;
    SetLogEnable(true);
    WriteStringLog("../a.cpp", 1, "f", "first");
    const QString strFirst = LogFiles(root).value(0);
    const QString strPath = root.Path() + "/log/" + strFirst;
    {
        QFile f(strPath);
        ASSERT_TRUE(f.resize(c_iLogRotateSize));
    }
    WriteStringLog("../a.cpp", 1, "f", "exactly at the limit stays");
    ASSERT_EQ(LogFiles(root).size(), 1);
    EXPECT_GT(QFileInfo(strPath).size(), c_iLogRotateSize);

    WriteStringLog("../a.cpp", 1, "f", "now rotated");
    const QStringList listFiles = LogFiles(root);
    ASSERT_EQ(listFiles.size(), 2);
    EXPECT_TRUE(listFiles[1].endsWith("_1.log"));
    EXPECT_TRUE(LogText(root, listFiles[1]).contains("now rotated"));
    EXPECT_FALSE(ReadWholeFile(strPath).contains("now rotated"));
}

TEST(Log, ConcurrentWritersProduceWholeLines)
{
    TestInstallRoot root;
    SetLogEnable(true);
    constexpr int c_iThreads = 4;
    constexpr int c_iLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < c_iThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < c_iLines; ++i)
                WriteStringLog("../t.cpp", t, "w", "thread %d line %d %s", t, i, "payload-payload-payload");
        });
    }
    for (std::thread &th : threads)
        th.join();

    const QList<QByteArray> lines = LogText(root, LogFiles(root).value(0)).split('\n');
    ASSERT_EQ(lines.size(), c_iThreads * c_iLines + 1);
    const QRegularExpression whole("^\\[[^\\]]+\\] \\(\\.\\./t\\.cpp@\\d w\\) thread \\d line \\d+ payload-payload-payload$");
    for (int i = 0; i < lines.size() - 1; ++i)
        ASSERT_TRUE(whole.match(QString(lines[i])).hasMatch()) << lines[i].toStdString();
}
