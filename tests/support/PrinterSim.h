// Drives one printer_sim process for a test: a network printer on a loopback address
// whose state the test changes while it runs, and whose log tells what it received.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include "SimProcess.h"

class PrinterSim : public SimProcess
{
public:
    // Kinds of received datagram, as the log names them.
    static constexpr const char *c_szKindStandard = "status-standard";
    static constexpr const char *c_szKindKQ = "status-kq";
    static constexpr const char *c_szKindCancel = "cancel";
    static constexpr const char *c_szKindOther = "other";
    static constexpr quint16 c_usPrinterPort = 9300;

    // Starts the printer and waits until it listens. Settings are "key=value" texts;
    // strLayout is "standard" or "kq".
    bool Start(const QString &strAddress, const QString &strLayout, const QStringList &listSettings = {},
               quint16 usPort = c_usPrinterPort);
    // The datagrams received so far, in order: of one kind, or of every kind.
    QList<QByteArray> Received(const QString &strKind = {}) const;
    int Count(const QString &strKind = {}) const;

    // The program itself, for tests of its command line.
    static QString Program();

    quint16 Port() const { return m_usPort; }

private:
    quint16 m_usPort = c_usPrinterPort;
};
