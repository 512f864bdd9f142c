// The real scanimage against the backend in the build tree: a private SANE
// configuration that names only this backend, and the loader pointed at the build
// directory, so the system's configuration is never read for backends nor touched.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>

struct stScanImageRun
{
    bool bExited = false;  // normally, within the time
    int iExit = -1;
    QByteArray baOut;
    QByteArray baErr;
};

class ScanImage
{
public:
    ScanImage();
    // The network scanners of the backend's configuration file.
    void SetNetScanners(const QStringList &listLines);
    // Runs scanimage in the output directory.
    stScanImageRun Run(const QStringList &listArgs, std::chrono::seconds timeout = std::chrono::seconds(60));
    // Starts it without waiting, for a test that interrupts it.
    bool Start(const QStringList &listArgs);
    QProcess &Process() { return m_process; }
    QString OutPath(const QString &strFile) const { return m_out.filePath(strFile); }
    QImage Image(const QString &strFile) const { return QImage(OutPath(strFile)); }

private:
    QTemporaryDir m_config;
    QTemporaryDir m_out;
    QProcess m_process;
};

// The picture that tests send as JPEG pages: smooth, so that JPEG keeps it closely.
QImage KnownPicture(int iWidth, int iHeight);
QByteArray JpegOf(const QImage &image);
// The largest difference of any channel of any pixel; -1 when the sizes differ.
int LargestDifference(const QImage &a, const QImage &b);
