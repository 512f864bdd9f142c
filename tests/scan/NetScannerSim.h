// Drives one net_scanner_sim process for a test: a network scanner on a loopback address
// whose behaviour the test changes while it runs, and whose log tells, byte for byte,
// what it received.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "TestSupport.h"

class NetScannerSim
{
public:
    // What the log calls each kind of request.
    static constexpr const char *c_szOsl = "osl";
    static constexpr const char *c_szHttp = "http";
    static constexpr const char *c_szDataConnect = "data-connect";

    NetScannerSim() = default;
    ~NetScannerSim();
    NetScannerSim(const NetScannerSim &) = delete;
    NetScannerSim &operator=(const NetScannerSim &) = delete;

    // Starts the scanner and waits until all three services listen. Settings are
    // "key=value" texts (see net_scanner_sim's usage); extra arguments go to the
    // program as they are (e.g. "--data-port", "2081").
    bool Start(const QString &strAddress, const QStringList &listSettings = {}, const QStringList &listExtra = {});
    // Changes one setting; the scanner applies it from its next request on.
    bool Set(const QString &strKey, const QString &strValue);
    // The requests received so far, in order: of one kind, or of every kind.
    QList<QByteArray> Received(const QString &strKind = {}) const;
    // Stops the scanner with SIGTERM; true when it exited with 0 in time.
    bool Stop();

    static QString Program();
    // The image bytes the scanner streams for a page.
    static QByteArray PagePayload(int iPage, int iBytes);

    QString Address() const { return m_strAddress; }
    QByteArray Output() { return m_process.Output(); }

private:
    QString LogPath() const { return m_dir.filePath("received.log"); }
    QString ControlPath() const { return m_dir.filePath("control"); }

    QTemporaryDir m_dir;
    ChildProcess m_process;
    QMap<QString, QString> m_mapSetting;
    QString m_strAddress;
};
