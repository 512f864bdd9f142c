// A CUPS scheduler of the test's own, in a temporary directory: real queues, real jobs
// and real printers.conf/PPD files for the service to read, while the system's
// scheduler and its configuration stay untouched.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>

#include <cups/ipp.h>

#include "PrivateBus.h"
#include "UtilCups.h"

// Whether the scheduler gets a private system bus for its D-Bus notifier. Without one,
// the service finds no bus at all. OSTREL_TEST_CUPS_EVENTS=0 turns it off for suites
// that have to pass in both ways.
enum class enCupsEvents
{
    FromEnvironment,
    On,
    Off,
};

struct stPrivateCupsOptions
{
    enCupsEvents enEvents = enCupsEvents::FromEnvironment;
    // The scheduler's default DirtyCleanInterval: printers.conf is written up to 30 s
    // after a change, as on a real machine, and queue changes return at once.
    bool bDeferredConfWrites = false;
};

class PrivateCups
{
public:
    explicit PrivateCups(const stPrivateCupsOptions &options = {});
    ~PrivateCups();
    PrivateCups(const PrivateCups &) = delete;
    PrivateCups &operator=(const PrivateCups &) = delete;

    // Writes the configuration and waits until the scheduler answers.
    bool Start();
    // SIGTERM, so the scheduler writes its files; SIGKILL only when it does not go.
    bool Stop();
    // Same directory, so queues and their PPDs survive.
    bool Restart();
    bool Running() const;
    qint64 Pid() const { return m_process.processId(); }

    // What the service gets as CUPS_SERVERROOT, and what clients get as CUPS_SERVER.
    QString ServerRoot() const;
    QString Socket() const;
    // The test process's environment pointed at this scheduler, for the service and the CUPS tools.
    QProcessEnvironment Env() const;
    // That environment for printsvc installed under strPrefix.
    QProcessEnvironment ServiceEnv(const QString &strPrefix) const;
    // Points this process's libcups at the scheduler until destruction. libcups keeps the
    // server per thread and reads CUPS_SERVERROOT once per thread: call it before
    // starting threads that use libcups.
    void UseInThisProcess();

    // Over IPP, as the admin tool does, so every name the scheduler accepts can be used.
    // Each returns once printers.conf has been rewritten (at once with deferred writes).
    bool AddQueue(const QString &strName, const QString &strDeviceUri, const QString &strModel);
    bool DeleteQueue(const QString &strName);
    bool SetDeviceUri(const QString &strName, const QString &strDeviceUri);
    // The scheduler cannot rename: a new queue with the same PPD and device, then the old one goes.
    bool RenameQueue(const QString &strOldName, const QString &strNewName);
    QString DeviceUri(const QString &strName);
    QString PpdPath(const QString &strName) const;

    // A raw job; returns its id, 0 when refused.
    int SubmitJob(const QString &strQueue, const QByteArray &baData);
    // The way a user cancels: the cancel tool with the job id.
    bool CancelJob(int iJobId);
    // iJobId stays 0 when the scheduler does not know the job.
    stCupsJob JobState(int iJobId);
    bool WaitJobState(int iJobId, int iState, const QString &strReason, std::chrono::milliseconds timeout);

    QByteArray PrintersConf() const;
    QByteArray ErrorLog() const;
    // Requests the scheduler has answered so far, one line each.
    int AccessLogLines() const;
    bool EventsOn() const { return m_bEvents; }
    // The scheduler's word on the last refused request, or what went wrong locally.
    QString LastError() const { return m_strLastError; }

private:
    bool WriteConfig();
    QByteArray NotifierEnv() const;
    bool Launch();
    bool SchedulerAnswers();
    bool RunTool(const QString &strTool, const QStringList &listArgs, QByteArray &baOutput);
    bool AddOrModify(const QString &strName, const QString &strDeviceUri, const QString &strPpdFile);
    // Returns once printers.conf shows the change, so the service can read it at once.
    bool Administer(ipp_t *pRequest, const QString &strFile);
    bool Fail(const QString &strWhy);

    const bool m_bEvents;
    const bool m_bDeferredConfWrites;
    PrivateBus m_bus;
    // Made at once, so that even before Start every path and the environment point into it
    // and never at the system's scheduler.
    QTemporaryDir m_dir;
    // Mutable: without an event loop, only a wait notices that the scheduler has gone.
    mutable QProcess m_process;
    QString m_strLastError;
    QProcessEnvironment m_envBefore;
    bool m_bUsedInProcess = false;
};

// A queue name made to be run: it starts with '-', holds ';', '|' and backquotes, and any
// shell that ever evaluates it creates ShellTrapMarker(). The scheduler refuses space,
// '/' and '#' in names, so the command cuts its '/' out of $PWD.
QString ShellTrapQueueName();
QString ShellTrapMarker();
