// Drives one net_scanner_sim process for a test: a network scanner on a loopback address
// whose behaviour the test changes while it runs, and whose log tells, byte for byte,
// what it received.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include "SimProcess.h"

class NetScannerSim : public SimProcess
{
public:
    // What the log calls each kind of request.
    static constexpr const char *c_szOsl = "osl";
    static constexpr const char *c_szHttp = "http";
    static constexpr const char *c_szDataConnect = "data-connect";

    // Starts the scanner and waits until all three services listen. Settings are
    // "key=value" texts (see net_scanner_sim's usage); extra arguments go to the
    // program as they are (e.g. "--data-port", "2081").
    bool Start(const QString &strAddress, const QStringList &listSettings = {}, const QStringList &listExtra = {});
    // The requests received so far, in order: of one kind, or of every kind.
    QList<QByteArray> Received(const QString &strKind = {}) const;

    static QString Program();
    // The image bytes the scanner streams for a page.
    static QByteArray PagePayload(int iPage, int iBytes);
};
