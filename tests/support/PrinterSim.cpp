#include "PrinterSim.h"

#include <QFile>
#include <QSaveFile>

#include <csignal>

using namespace std::chrono;

namespace
{
// Generous: a sanitizer build starts slowly on a busy machine.
constexpr milliseconds c_startTimeout = seconds(10);
constexpr milliseconds c_stopTimeout = seconds(10);
constexpr int c_iLogFields = 4;  // time, peer, kind, bytes
}  // namespace

PrinterSim::~PrinterSim()
{
    Stop();
}

// The program creates its log only after binding, so the log tells that it listens.
bool PrinterSim::Start(const QString &strAddress, const QString &strLayout, const QStringList &listSettings,
                       quint16 usPort)
{
    if (!m_dir.isValid() || m_process.Running())
        return false;
    m_strAddress = strAddress;
    m_usPort = usPort;
    QStringList listArgs = {"--address", strAddress, "--port",    QString::number(usPort), "--layout",
                            strLayout,  "--control", ControlPath(), "--log",                 LogPath()};
    for (const QString &strSetting : listSettings)
        listArgs << "--set" << strSetting;
    if (!m_process.Start(Program(), listArgs))
        return false;
    // A printer that cannot bind exits at once; there is no point waiting for it.
    WaitUntil([&] { return QFile::exists(LogPath()) || m_process.WaitExit(milliseconds(0)); }, c_startTimeout);
    return QFile::exists(LogPath()) && m_process.Running();
}

// Written beside the old file and renamed over it, so the printer never reads half a file.
bool PrinterSim::Set(const QString &strKey, const QString &strValue)
{
    m_mapSetting[strKey] = strValue;
    QByteArray baText;
    for (auto it = m_mapSetting.cbegin(); it != m_mapSetting.cend(); ++it)
        baText += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    QSaveFile file(ControlPath());
    return file.open(QIODevice::WriteOnly) && file.write(baText) == baText.size() && file.commit();
}

QList<QByteArray> PrinterSim::Received(const QString &strKind) const
{
    QList<QByteArray> list;
    const QByteArray baKind = strKind.toLatin1();
    for (const QByteArray &baLine : ReadWholeFile(LogPath()).split('\n')) {
        const QList<QByteArray> listField = baLine.split(' ');
        if (listField.size() != c_iLogFields)
            continue;
        if (baKind.isEmpty() || listField[2] == baKind)
            list.append(QByteArray::fromHex(listField[3]));
    }
    return list;
}

int PrinterSim::Count(const QString &strKind) const
{
    return Received(strKind).size();
}

bool PrinterSim::Stop()
{
    m_process.Signal(SIGTERM);
    return m_process.WaitExit(c_stopTimeout) && m_process.ExitedNormally() && m_process.ExitCode() == 0;
}

QString PrinterSim::Program()
{
    return QStringLiteral(PRINTER_SIM_PATH);
}
