// Drives one printer_sim process for a test: a network printer on a loopback address
// whose state the test changes while it runs, and whose log tells what it received.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "TestSupport.h"

class PrinterSim
{
public:
    // Kinds of received datagram, as the log names them.
    static constexpr const char *c_szKindStandard = "status-standard";
    static constexpr const char *c_szKindKQ = "status-kq";
    static constexpr const char *c_szKindCancel = "cancel";
    static constexpr const char *c_szKindOther = "other";
    static constexpr quint16 c_usPrinterPort = 9300;

    PrinterSim() = default;
    ~PrinterSim();
    PrinterSim(const PrinterSim &) = delete;
    PrinterSim &operator=(const PrinterSim &) = delete;

    // Starts the printer and waits until it listens. Settings are "key=value" texts;
    // strLayout is "standard" or "kq".
    bool Start(const QString &strAddress, const QString &strLayout, const QStringList &listSettings = {},
               quint16 usPort = c_usPrinterPort);
    // Changes one setting; the printer applies it before it answers the next request.
    bool Set(const QString &strKey, const QString &strValue);
    // The datagrams received so far, in order: of one kind, or of every kind.
    QList<QByteArray> Received(const QString &strKind = {}) const;
    int Count(const QString &strKind = {}) const;
    // Stops the printer with SIGTERM; true when it exited with 0 in time.
    bool Stop();

    // The program itself, for tests of its command line.
    static QString Program();

    QString Address() const { return m_strAddress; }
    quint16 Port() const { return m_usPort; }
    QString LogPath() const { return m_dir.filePath("received.log"); }
    // What the program printed, for a failure message.
    QByteArray Output() { return m_process.Output(); }

private:
    QString ControlPath() const { return m_dir.filePath("control"); }

    QTemporaryDir m_dir;
    ChildProcess m_process;
    QMap<QString, QString> m_mapSetting;
    QString m_strAddress;
    quint16 m_usPort = c_usPrinterPort;
};
