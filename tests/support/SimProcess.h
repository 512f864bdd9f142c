// What the tests' drivers of the simulator programs share: the program runs on a
// loopback address with a control file of "key=value" lines it reads again whenever it
// changes, and a log of what it received, one request per line, which it creates once
// it listens.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "TestSupport.h"

class SimProcess
{
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Changes one setting; the program applies it from its next request on.
    bool Set(const QString &strKey, const QString &strValue);
    // Stops the program with SIGTERM; true when it exited with 0 in time.
    bool Stop();

    QString Address() const { return m_strAddress; }
    QString LogPath() const { return m_dir.filePath("received.log"); }
    // What the program printed, for a failure message.
    QByteArray Output() { return m_process.Output(); }

protected:
    // Starts the program with its address, control file, log and settings before the
    // extra arguments, and waits until it listens. One that cannot bind exits at once.
    bool Launch(const QString &strProgram, const QString &strAddress, const QStringList &listSettings,
                const QStringList &listExtra);
    // The logged requests of one kind (all when empty), decoded from hex. A log line
    // has iFields blank-separated fields, the kind and the bytes at the given places.
    QList<QByteArray> Logged(const QString &strKind, int iFields, int iKindField, int iBytesField) const;

private:
    QString ControlPath() const { return m_dir.filePath("control"); }

    QTemporaryDir m_dir;
    ChildProcess m_process;
    QMap<QString, QString> m_mapSetting;
    QString m_strAddress;
};
