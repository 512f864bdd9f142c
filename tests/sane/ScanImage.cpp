#include "ScanImage.h"

#include <QBuffer>
#include <QFile>
#include <QProcessEnvironment>

#include <algorithm>
#include <cstdlib>

namespace
{
constexpr int c_iJpegQuality = 95;
constexpr int c_iStartWaitMs = 10000;
}  // namespace

ScanImage::ScanImage()
{
    QFile dll(m_config.filePath("dll.conf"));
    if (dll.open(QIODevice::WriteOnly))
        dll.write("ostrel\n");
    SetNetScanners({});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SANE_CONFIG_DIR", m_config.path());
    env.insert("LD_LIBRARY_PATH", SANE_BACKEND_DIR);
    env.insert("SANE_DEBUG_OSTREL", "3");
    // In sanitizer builds the frontend's own allocations left at exit are not ours to report.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
    m_process.setProcessEnvironment(env);
    m_process.setWorkingDirectory(m_out.path());
}

void ScanImage::SetNetScanners(const QStringList &listLines)
{
    QFile conf(m_config.filePath("ostrel.conf"));
    if (conf.open(QIODevice::WriteOnly))
        conf.write(("# the test's scanners\n" + listLines.join('\n') + "\n").toUtf8());
}

bool ScanImage::Start(const QStringList &listArgs)
{
    m_process.start(SCANIMAGE_PATH, listArgs);
    return m_process.waitForStarted(c_iStartWaitMs);
}

stScanImageRun ScanImage::Run(const QStringList &listArgs, std::chrono::seconds timeout)
{
    stScanImageRun run;
    if (!Start(listArgs))
        return run;
    const bool bFinished = m_process.waitForFinished(int(std::chrono::milliseconds(timeout).count()));
    if (!bFinished)
        m_process.kill();
    m_process.waitForFinished();
    run.bExited = bFinished && m_process.exitStatus() == QProcess::NormalExit;
    run.iExit = m_process.exitCode();
    run.baOut = m_process.readAllStandardOutput();
    run.baErr = m_process.readAllStandardError();
    return run;
}

QImage KnownPicture(int iWidth, int iHeight)
{
    QImage image(iWidth, iHeight, QImage::Format_RGB888);
    for (int y = 0; y < iHeight; ++y) {
        for (int x = 0; x < iWidth; ++x)
            image.setPixel(x, y, qRgb(x * 255 / iWidth, y * 255 / iHeight, 128 + (x - y) * 64 / (iWidth + iHeight)));
    }
    return image;
}

QByteArray JpegOf(const QImage &image)
{
    QByteArray ba;
    QBuffer buffer(&ba);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", c_iJpegQuality);
    return ba;
}

int LargestDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    int iMax = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb pa = a.pixel(x, y);
            const QRgb pb = b.pixel(x, y);
            iMax = std::max({iMax, std::abs(qRed(pa) - qRed(pb)), std::abs(qGreen(pa) - qGreen(pb)),
                             std::abs(qBlue(pa) - qBlue(pb))});
        }
    }
    return iMax;
}
