#include "NetScannerSim.h"

#include <QFile>
#include <QSaveFile>

#include <csignal>

#include "NetScanPattern.h"

using namespace std::chrono;

namespace
{
// Generous: a sanitizer build starts slowly on a busy machine.
constexpr milliseconds c_startTimeout = seconds(10);
constexpr milliseconds c_stopTimeout = seconds(10);
constexpr int c_iLogFields = 2;  // kind, bytes
}  // namespace

NetScannerSim::~NetScannerSim()
{
    Stop();
}

// The program creates its log only once it listens, so the log tells that it is ready.
bool NetScannerSim::Start(const QString &strAddress, const QStringList &listSettings, const QStringList &listExtra)
{
    if (!m_dir.isValid() || m_process.Running())
        return false;
    m_strAddress = strAddress;
    QStringList listArgs = {"--address", strAddress, "--control", ControlPath(), "--log", LogPath()};
    for (const QString &strSetting : listSettings)
        listArgs << "--set" << strSetting;
    if (!m_process.Start(Program(), listArgs + listExtra))
        return false;
    WaitUntil([&] { return QFile::exists(LogPath()) || m_process.WaitExit(milliseconds(0)); }, c_startTimeout);
    return QFile::exists(LogPath()) && m_process.Running();
}

// Written beside the old file and renamed over it, so the scanner never reads half a file.
bool NetScannerSim::Set(const QString &strKey, const QString &strValue)
{
    m_mapSetting[strKey] = strValue;
    QByteArray baText;
    for (auto it = m_mapSetting.cbegin(); it != m_mapSetting.cend(); ++it)
        baText += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    QSaveFile file(ControlPath());
    return file.open(QIODevice::WriteOnly) && file.write(baText) == baText.size() && file.commit();
}

QList<QByteArray> NetScannerSim::Received(const QString &strKind) const
{
    QList<QByteArray> list;
    const QByteArray baKind = strKind.toLatin1();
    for (const QByteArray &baLine : ReadWholeFile(LogPath()).split('\n')) {
        const QList<QByteArray> listField = baLine.split(' ');
        if (listField.size() != c_iLogFields)
            continue;
        if (baKind.isEmpty() || listField[0] == baKind)
            list.append(QByteArray::fromHex(listField[1]));
    }
    return list;
}

bool NetScannerSim::Stop()
{
    m_process.Signal(SIGTERM);
    return m_process.WaitExit(c_stopTimeout) && m_process.ExitedNormally() && m_process.ExitCode() == 0;
}

QString NetScannerSim::Program()
{
    return QStringLiteral(NET_SCANNER_SIM_PATH);
}

QByteArray NetScannerSim::PagePayload(int iPage, int iBytes)
{
    QByteArray ba(iBytes, '\0');
    for (int i = 0; i < iBytes; ++i)
        ba[i] = char(NetScanPatternByte(iPage, i));
    return ba;
}
