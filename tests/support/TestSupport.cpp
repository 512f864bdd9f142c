#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <thread>

namespace
{
void RestoreEnv(const char *szName, const QByteArray &baOld)
{
    if (baOld.isEmpty())
        qunsetenv(szName);
    else
        qputenv(szName, baOld);
}
}  // namespace

TestInstallRoot::TestInstallRoot()
    : m_baOldPrefix(qgetenv("OSTREL_PREFIX")), m_baOldMetricsDir(qgetenv("OSTREL_METRICS_DIR"))
{
    qputenv("OSTREL_PREFIX", m_dir.path().toLocal8Bit());
    // A directory that does not exist: a service under test never writes into the
    // machine's node_exporter directory.
    qputenv("OSTREL_METRICS_DIR", (m_dir.path() + "/metrics").toLocal8Bit());
}

TestInstallRoot::~TestInstallRoot()
{
    ExpectNothingWorldWritable(m_dir.path());
    RestoreEnv("OSTREL_PREFIX", m_baOldPrefix);
    RestoreEnv("OSTREL_METRICS_DIR", m_baOldMetricsDir);
}

QByteArray TestInstallRoot::ServiceLog() const
{
    QByteArray ba;
    const QDir dir(m_dir.path() + "/log");
    for (const QString &strFile : dir.entryList({"log_srv_*.log"}, QDir::Files, QDir::Name))
        ba += ReadWholeFile(dir.filePath(strFile));
    return ba;
}

bool WaitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout, std::chrono::milliseconds step)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(step);
    }
    return true;
}

QByteArray ReadWholeFile(const QString &strPath)
{
    QFile f(strPath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool WriteWholeFile(const QString &strPath, const QByteArray &ba)
{
    QFile f(strPath);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(ba) == ba.size();
}

ChildProcess::~ChildProcess()
{
    if (Running()) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ChildProcess::Start(const QString &strProgram, const QStringList &listArgs, const QProcessEnvironment &env)
{
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(strProgram, listArgs);
    return m_process.waitForStarted(5000);
}

bool ChildProcess::WaitExit(std::chrono::milliseconds timeout)
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(int(timeout.count()));
}

bool ChildProcess::Write(const QByteArray &ba)
{
    const bool bWritten = m_process.write(ba) == ba.size() && m_process.waitForBytesWritten(5000);
    m_process.closeWriteChannel();
    return bWritten;
}

void ChildProcess::Signal(int iSignal)
{
    if (Running())
        ::kill(pid_t(m_process.processId()), iSignal);
}

QStringList WorldWritableEntries(const QString &strDir)
{
    QStringList list;
    QStringList listPaths {strDir};
    QDirIterator it(strDir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        listPaths.append(it.next());
    for (const QString &strPath : listPaths) {
        struct stat st {};
        if (lstat(QFile::encodeName(strPath).constData(), &st) == 0 && !S_ISLNK(st.st_mode) && (st.st_mode & S_IWOTH))
            list.append(strPath);
    }
    return list;
}

void ExpectNothingWorldWritable(const QString &strDir)
{
    for (const QString &strPath : WorldWritableEntries(strDir))
        ADD_FAILURE() << "writable by anyone: " << strPath.toStdString();
}
