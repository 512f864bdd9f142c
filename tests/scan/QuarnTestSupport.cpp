#include "QuarnTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

#include <csignal>
#include <thread>

#include "TestSupport.h"

using namespace std::chrono;

namespace
{
constexpr auto c_launcherWait = seconds(10);
constexpr auto c_acceptWait = seconds(10);
constexpr auto c_killWait = seconds(5);
// Fields of /proc/<pid>/stat after the command name: state, ppid, pgrp, session, ...
constexpr int c_iStatParent = 1;
constexpr int c_iStatSession = 3;

QStringList StatFields(pid_t pid)
{
    const QByteArray ba = ReadWholeFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int iClose = ba.lastIndexOf(')');
    if (iClose < 0)
        return {};
    return QString::fromLatin1(ba.mid(iClose + 2)).split(' ');
}

// Every daemon a test starts names that test's process, so that one left behind by a
// test that crashed can be told from any other program.
const char c_szOwnerVariable[] = "QUARN_TEST_OWNER";

QList<QByteArray> DaemonEnvironment(const QString &strPid)
{
    const QString strExe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(strPid)).symLinkTarget();
    if (strExe != QString(QUARN_DAEMON_PATH))
        return {};
    return ReadWholeFile(QStringLiteral("/proc/%1/environ").arg(strPid)).split('\0');
}

bool IsDaemonOf(const QString &strPid, const QString &strRoot)
{
    return DaemonEnvironment(strPid).contains("OSTREL_PREFIX=" + strRoot.toLocal8Bit());
}

// The daemon's standard streams lead nowhere: sanitizer reports go to files instead.
// Not under the umockdev preload, whose wrappers crash a sanitizer that opens its file
// before they are set up; there a report still ends the process (abort_on_error).
void RouteSanitizerReports(QProcessEnvironment &env, const QString &strPrefix)
{
    if (env.value("LD_PRELOAD").contains("umockdev"))
        return;
    for (const char *szVar : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const QString strOld = env.value(szVar);
        env.insert(szVar, (strOld.isEmpty() ? QString() : strOld + ":") + "log_path=" + strPrefix);
    }
}

// Daemons whose test process is gone hold the port that every later test needs.
void KillDaemonsOfCrashedTests()
{
    const QByteArray baOwner = QByteArray(c_szOwnerVariable) + "=";
    for (const QString &strPid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const QByteArray &baVar : DaemonEnvironment(strPid)) {
            if (baVar.startsWith(baOwner) && !QDir(QStringLiteral("/proc/") + baVar.mid(baOwner.size())).exists())
                kill(pid_t(strPid.toInt()), SIGKILL);
        }
    }
}
}  // namespace

pid_t ParentOf(pid_t pid)
{
    const QStringList list = StatFields(pid);
    return list.size() > c_iStatParent ? pid_t(list[c_iStatParent].toInt()) : -1;
}

pid_t SessionOf(pid_t pid)
{
    const QStringList list = StatFields(pid);
    return list.size() > c_iStatSession ? pid_t(list[c_iStatSession].toInt()) : -1;
}

QuarnDaemon::QuarnDaemon(const QString &strRoot) : m_strRoot(strRoot)
{
    QDir().mkpath(m_strRoot + "/scan");
}

QuarnDaemon::~QuarnDaemon()
{
    if (!Processes().isEmpty() && !Stop(seconds(3)))
        KillAll();
}

bool QuarnDaemon::Start()
{
    KillDaemonsOfCrashedTests();
    QProcess launcher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("OSTREL_PREFIX", m_strRoot);
    env.insert(c_szOwnerVariable, QString::number(getpid()));
    RouteSanitizerReports(env, SanitizerLogPrefix());
    launcher.setProcessEnvironment(env);
    launcher.start(QStringLiteral(QUARN_DAEMON_PATH), QStringList());
    if (!launcher.waitForFinished(int(milliseconds(c_launcherWait).count())))
        return false;
    m_iLauncherExit = launcher.exitStatus() == QProcess::NormalExit ? launcher.exitCode() : -1;
    if (m_iLauncherExit != 0)
        return false;
    // An answered probe has had its own connection process, which ends with the probe:
    // the test starts from the listener alone.
    const bool bAccepts = WaitUntil([&] { return Listener() > 0; }, c_acceptWait) && WaitUntil([] {
                              QuarnScanClient probe;
                              return probe.Connect() && probe.StatusOf(USB_OPEN_DEV, 0) == SANE_STATUS_GOOD;
                          }, c_acceptWait);
    return bAccepts && WaitUntil([&] { return Processes().size() == 1; }, c_acceptWait);
}

bool QuarnDaemon::Stop(milliseconds timeout)
{
    const pid_t pidListener = Listener();
    if (pidListener > 0)
        kill(pidListener, SIGQUIT);
    const bool bStopped = WaitUntil([&] { return Processes().isEmpty(); }, timeout);
    const QFileInfoList listReports = QDir(m_strRoot).entryInfoList({"sanitizer.*"}, QDir::Files);
    for (const QFileInfo &info : listReports)
        ADD_FAILURE() << "sanitizer report of the daemon:\n" << ReadWholeFile(info.filePath()).toStdString();
    ExpectNothingWorldWritable(m_strRoot);
    return bStopped && listReports.isEmpty();
}

QString QuarnDaemon::SanitizerLogPrefix() const
{
    return m_strRoot + "/sanitizer";
}

pid_t QuarnDaemon::Listener() const
{
    const QVector<pid_t> vec = Processes();
    for (pid_t pid : vec) {
        if (!vec.contains(ParentOf(pid)))
            return pid;
    }
    return -1;
}

QVector<pid_t> QuarnDaemon::Processes() const
{
    QVector<pid_t> vec;
    const QStringList listPids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &strPid : listPids) {
        bool bNumber = false;
        const pid_t pid = pid_t(strPid.toInt(&bNumber));
        if (bNumber && IsDaemonOf(strPid, m_strRoot))
            vec.append(pid);
    }
    return vec;
}

void QuarnDaemon::KillAll() const
{
    for (pid_t pid : Processes())
        kill(pid, SIGKILL);
    WaitUntil([&] { return Processes().isEmpty(); }, c_killWait);
}

bool ConnectClient(QuarnScanClient &client)
{
    const bool bConnected = client.Connect();
    if (!bConnected)
        ADD_FAILURE() << "the scan daemon does not accept on 127.0.0.1:" << c_usQuarnPort;
    return bConnected;
}

SettingInfo FlatbedSettings()
{
    SettingInfo info {};
    info.bitDepth = 24;
    info.compType = COMPRESSION_NONE;
    info.width = 2480;
    info.height = 3508;
    info.xResolution = 300;
    info.yResolution = 300;
    return info;
}

bool StartNetScanWhenFree(QuarnScanClient &client, const char *szIP, TCPScanStartRes *pRes)
{
    constexpr auto c_busyWait = seconds(60);
    constexpr auto c_busyRetry = milliseconds(10);
    const auto deadline = steady_clock::now() + c_busyWait;
    while (client.StartNetScan(szIP, -1, FlatbedSettings(), pRes)) {
        if (pRes->result != SANE_STATUS_DEVICE_BUSY || steady_clock::now() > deadline)
            return pRes->result == SANE_STATUS_GOOD;
        std::this_thread::sleep_for(c_busyRetry);
    }
    return false;
}
