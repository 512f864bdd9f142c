// Helpers shared by the test binaries: private install roots, real child processes
// and waiting for a condition.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>

// A private install root; OSTREL_PREFIX points at it for this process and its children,
// OSTREL_METRICS_DIR at a directory in it that a test has to create to get metrics.
// When it goes, the test fails for every file or directory in it that anyone may write.
class TestInstallRoot
{
public:
    TestInstallRoot();
    ~TestInstallRoot();
    QString Path() const { return m_dir.path(); }
    QString Cfg(const QString &strFile = QString()) const { return m_dir.path() + "/cfg/" + strFile; }
    // printsvc's file log (OSTREL_LOG=1), all its files in order.
    QByteArray ServiceLog() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_baOldPrefix;
    QByteArray m_baOldMetricsDir;
};

// Polls until the predicate holds or the time is up; returns the predicate's last value.
bool WaitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(50));

QByteArray ReadWholeFile(const QString &strPath);
// Everything under the directory, itself included, that is writable by others
// (symbolic links, whose own mode means nothing, left out).
QStringList WorldWritableEntries(const QString &strDir);
// One test failure for each of them.
void ExpectNothingWorldWritable(const QString &strDir);
bool WriteWholeFile(const QString &strPath, const QByteArray &ba);

// Starts a program with the test process's environment plus extra variables.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    bool Start(const QString &strProgram, const QStringList &listArgs = {},
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    bool WaitExit(std::chrono::milliseconds timeout);
    void Signal(int iSignal);
    int ExitCode() const { return m_process.exitCode(); }
    bool ExitedNormally() const { return m_process.exitStatus() == QProcess::NormalExit; }
    qint64 Pid() const { return m_process.processId(); }
    bool Running() const { return m_process.state() != QProcess::NotRunning; }
    // Standard output and error, merged.
    QByteArray Output() { return m_process.readAllStandardOutput(); }
    // Gives the program its whole standard input.
    bool Write(const QByteArray &ba);

private:
    QProcess m_process;
};
