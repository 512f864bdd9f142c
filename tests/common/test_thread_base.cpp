#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "UtilThreadBase.h"

using namespace std::chrono;

namespace
{
class Worker : public UtilThreadBase
{
public:
    using UtilThreadBase::EnterTaskOnce;
};

double SecondsOf(const std::function<void()> &f)
{
    const auto t0 = steady_clock::now();
    f();
    return duration<double>(steady_clock::now() - t0).count();
}

// A copy of `sleep` under another command name.
QString ProgramNamed(const QTemporaryDir &dir, const QString &strName)
{
    const QString strPath = dir.path() + "/" + strName;
    QFile::copy("/bin/sleep", strPath);
    QFile(strPath).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    return strPath;
}
}  // namespace

TEST(WaitForSleep, QuitBeforeTheCallReturnsAtOnce)
{
    Worker w;
    w.RequestQuit();
    bool bResult = false;
    EXPECT_LT(SecondsOf([&] { bResult = w.WaitForSleep(5000); }), 0.2);
    EXPECT_TRUE(bResult);
}

TEST(WaitForSleep, QuitDuringTheWaitIsSeenAtTheNextSlice)
{
    Worker w;
    std::thread quitter([&] {
        std::this_thread::sleep_for(milliseconds(1200));
        w.RequestQuit();
    });
    bool bResult = false;
    const double dSeconds = SecondsOf([&] { bResult = w.WaitForSleep(5000); });
    quitter.join();
    EXPECT_TRUE(bResult);
    EXPECT_GE(dSeconds, 1.4);
    EXPECT_LT(dSeconds, 4.0) << "the quit must end the wait early";
}

TEST(WaitForSleep, WithoutQuitSleepsAndReturnsFalse)
{
    Worker w;
    bool bResult = true;
    EXPECT_GE(SecondsOf([&] { bResult = w.WaitForSleep(1000); }), 0.99);
    EXPECT_FALSE(bResult);
    EXPECT_GE(SecondsOf([&] { bResult = w.WaitForSleep(300); }), 0.29);
    EXPECT_FALSE(bResult);
}

TEST(WorkerBase, RunOnceGuardAndMakePathExist)
{
    Worker w;
    EXPECT_TRUE(w.EnterTaskOnce());
    EXPECT_FALSE(w.EnterTaskOnce());

    QTemporaryDir dir;
    EXPECT_TRUE(UtilThreadBase::MakePathExist(dir.path() + "/a/b/c"));
    EXPECT_TRUE(QDir(dir.path() + "/a/b/c").exists());
    EXPECT_TRUE(UtilThreadBase::MakePathExist(dir.path() + "/a/b/c"));
    QFile file(dir.path() + "/plain");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_FALSE(UtilThreadBase::MakePathExist(dir.path() + "/plain/sub"));
}

TEST(SingleInstance, CountsLiveProcessesByCommandNameIgnoringCase)
{
    QTemporaryDir dir;
    const QString strName = "OstrelProbe" + QString::number(::getpid() % 1000);
    EXPECT_EQ(CountProcessesNamed(strName), 0);

    ChildProcess first, second, lookalike;
    ASSERT_TRUE(first.Start(ProgramNamed(dir, strName), {"30"}));
    ASSERT_TRUE(lookalike.Start(ProgramNamed(dir, "x" + strName), {"30"}));
    ASSERT_TRUE(WaitUntil([&] { return CountProcessesNamed(strName) == 1; }, seconds(5)));
    EXPECT_EQ(CountProcessesNamed(strName.toLower()), 1);

    ASSERT_TRUE(second.Start(ProgramNamed(dir, strName.toUpper() + "_2"), {"30"}));
    EXPECT_TRUE(WaitUntil([&] { return CountProcessesNamed(strName.toUpper() + "_2") == 1; }, seconds(5)));
    EXPECT_EQ(CountProcessesNamed(strName), 1) << "a longer name is another program";
}

TEST(SingleInstance, ExitedButUnreapedProcessesDoNotCount)
{
    QTemporaryDir dir;
    const QString strName = "OstrelZombie" + QString::number(::getpid() % 100);
    const QByteArray baPath = ProgramNamed(dir, strName).toLocal8Bit();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(baPath.constData(), baPath.constData(), "0", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    // Give the child time to exec and exit; it stays a zombie until waitpid below.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const QByteArray stat = ReadWholeFile("/proc/" + QString::number(pid) + "/stat");
            return stat.contains(") Z ");
        },
        seconds(5)));
    EXPECT_EQ(CountProcessesNamed(strName), 0);
    ::waitpid(pid, nullptr, 0);
}

TEST(SingleInstance, NamesAreComparedOnTheirFirst15Characters)
{
    QTemporaryDir dir;
    const QString strLong = "QuarnLongProgramName";  // the kernel keeps "QuarnLongProgra"
    ChildProcess child;
    ASSERT_TRUE(child.Start(ProgramNamed(dir, strLong), {"30"}));
    EXPECT_TRUE(WaitUntil([&] { return CountProcessesNamed(strLong) == 1; }, seconds(5)));
    EXPECT_EQ(CountProcessesNamed("quarnlongprogramXYZ"), 1);
}
