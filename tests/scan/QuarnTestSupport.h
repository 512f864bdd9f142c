// QuarnScanDaemon as a real process for the tests: started from the build tree under a
// private install root, found again after it detached, stopped with SIGQUIT, and every
// process of it accounted for.
#pragma once

#include <QString>
#include <QVector>

#include <sys/types.h>

#include <chrono>

#include "quarn_client.h"

class QuarnDaemon
{
public:
    // The root must exist; the daemon's scan directory is created in it.
    explicit QuarnDaemon(const QString &strRoot);
    ~QuarnDaemon();
    QuarnDaemon(const QuarnDaemon &) = delete;
    QuarnDaemon &operator=(const QuarnDaemon &) = delete;

    // The launcher must end at once with 0 and the detached daemon accept clients.
    bool Start();
    // SIGQUIT to the listening process; true when no process of this daemon is left
    // within the time (connection processes end once their clients have gone) and no
    // sanitizer reported anything in them.
    bool Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    pid_t Listener() const;
    // Every live process of this daemon: listener, connection and data processes.
    QVector<pid_t> Processes() const;
    // What the daemon calls its scan directory, with its doubled slash.
    QString ScanDir() const { return m_strRoot + "//scan"; }
    QString Root() const { return m_strRoot; }

private:
    void KillAll() const;
    QString SanitizerLogPrefix() const;

    QString m_strRoot;
    int m_iLauncherExit = -1;
};

// A connected client; the test fails through ADD_FAILURE when the daemon cannot be reached.
bool ConnectClient(QuarnScanClient &client);

// Settings for a colour flatbed scan of a small area.
SettingInfo FlatbedSettings();

// Starts a network scan, asking again while the scanner is busy with someone else's job.
bool StartNetScanWhenFree(QuarnScanClient &client, const char *szIP, TCPScanStartRes *pRes);

// The parent process id and session id from /proc, or -1.
pid_t ParentOf(pid_t pid);
pid_t SessionOf(pid_t pid);
