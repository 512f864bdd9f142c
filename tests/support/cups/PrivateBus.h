// A system bus of the test's own: a dbus-daemon of the system type on a socket in a
// temporary directory, for the private scheduler's D-Bus notifier and for printsvc.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    // Writes the configuration and waits until the socket accepts connections.
    bool Start();
    void Stop();
    bool Running() const;
    // What DBUS_SYSTEM_BUS_ADDRESS gets.
    QString Address() const;
    QString LastError() const { return m_strLastError; }

    // An address where no bus listens: a client given it has no system bus.
    static QString AbsentAddress(const QString &strDir);

private:
    QString Socket() const;
    bool Fail(const QString &strWhy);

    QTemporaryDir m_dir;
    mutable QProcess m_process;
    QString m_strLastError;
};
