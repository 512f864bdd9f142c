#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "TestSupport.h"
#include "UtilCfgFiles.h"

using namespace std::chrono;

namespace
{
QProcessEnvironment ServiceEnv(const QString &strPrefix, const QString &strCupsRoot)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("OSTREL_PREFIX", strPrefix);
    env.insert("CUPS_SERVERROOT", strCupsRoot);
    env.insert("CUPS_SERVER", strCupsRoot + "/no-cupsd.sock");
    return env;
}

class PrintsvcProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_cups.isValid());
        ASSERT_TRUE(m_service.Start(PRINTSVC_PATH, {}, ServiceEnv(m_root.Path(), m_cups.path())));
        ASSERT_TRUE(WaitUntil([&] { return QFile::exists(UtilCfgFiles::HeartbeatPath()); }, seconds(5)))
            << m_service.Output().toStdString();
    }

    TestInstallRoot m_root;
    QTemporaryDir m_cups;
    ChildProcess m_service;
};
}  // namespace

TEST_F(PrintsvcProcess, HeartbeatIsATimeStampRefreshedEveryPass)
{
    const QByteArray first = ReadWholeFile(UtilCfgFiles::HeartbeatPath());
    const QDateTime t = UtilCfgFiles::ReadHeartbeat();
    ASSERT_TRUE(t.isValid()) << first.toStdString();
    EXPECT_LT(qAbs(t.msecsTo(QDateTime::currentDateTime())), 10000);
    EXPECT_FALSE(first.endsWith('\n'));

    EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(UtilCfgFiles::HeartbeatPath()) != first; }, seconds(12)));
    EXPECT_TRUE(m_service.Running());
}

TEST_F(PrintsvcProcess, SecondCopyExitsAtOnceTouchingNothing)
{
    TestInstallRoot other;
    QTemporaryDir otherCups;
    ChildProcess second;
    ASSERT_TRUE(second.Start(PRINTSVC_PATH, {}, ServiceEnv(other.Path(), otherCups.path())));
    ASSERT_TRUE(second.WaitExit(seconds(5)));
    EXPECT_TRUE(second.ExitedNormally());
    EXPECT_EQ(second.ExitCode(), 0);
    EXPECT_TRUE(QDir(other.Path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    EXPECT_TRUE(m_service.Running());
}

TEST_F(PrintsvcProcess, TerminateAndInterruptStopItCleanly)
{
    for (int iSignal : {SIGTERM, SIGINT}) {
        if (!m_service.Running()) {
            ASSERT_TRUE(m_service.Start(PRINTSVC_PATH, {}, ServiceEnv(m_root.Path(), m_cups.path())));
        }
        std::this_thread::sleep_for(milliseconds(300));
        const auto t0 = steady_clock::now();
        m_service.Signal(iSignal);
        ASSERT_TRUE(m_service.WaitExit(seconds(5))) << "signal " << iSignal;
        EXPECT_TRUE(m_service.ExitedNormally());
        EXPECT_EQ(m_service.ExitCode(), 0);
        // The loop looks at its quit flag every 500 ms; allow a loaded machine some slack.
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 3000);
    }
}

TEST_F(PrintsvcProcess, LogStaysOffUnlessAskedFor)
{
    EXPECT_FALSE(QDir(m_root.Path() + "/log").exists());
}

// With its log off, the service still tells the journal that it cannot publish: once
// per outage, however many passes fail.
TEST_F(PrintsvcProcess, UnwritableCfgIsReportedOnStderrOncePerOutage)
{
    const QString strCfg = QDir::cleanPath(m_root.Cfg());
    ASSERT_TRUE(QDir(strCfg).removeRecursively());
    ASSERT_TRUE(WriteWholeFile(strCfg, "not a directory"));
    std::this_thread::sleep_for(seconds(11));  // two passes or more, each failing
    ASSERT_TRUE(QFile::remove(strCfg));
    ASSERT_TRUE(WaitUntil([&] { return QFile::exists(UtilCfgFiles::HeartbeatPath()); }, seconds(12)));
    m_service.Signal(SIGTERM);
    ASSERT_TRUE(m_service.WaitExit(seconds(5)));

    const QByteArray baOutput = m_service.Output();
    const QByteArray baHeartbeat = "Unable to write \"" + QFile::encodeName(UtilCfgFiles::HeartbeatPath()) + "\": ";
    EXPECT_EQ(baOutput.count(baHeartbeat), 1) << baOutput.toStdString();
    EXPECT_TRUE(baOutput.contains(baHeartbeat + QByteArray(std::strerror(ENOTDIR)))) << baOutput.toStdString();
}
