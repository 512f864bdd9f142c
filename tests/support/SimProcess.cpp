#include "SimProcess.h"

#include <QFile>
#include <QSaveFile>

#include <csignal>

using namespace std::chrono;

namespace
{
// Generous: a sanitizer build starts slowly on a busy machine.
constexpr milliseconds c_startTimeout = seconds(10);
constexpr milliseconds c_stopTimeout = seconds(10);
}  // namespace

SimProcess::~SimProcess()
{
    Stop();
}

bool SimProcess::Launch(const QString &strProgram, const QString &strAddress, const QStringList &listSettings,
                        const QStringList &listExtra)
{
    if (!m_dir.isValid() || m_process.Running())
        return false;
    m_strAddress = strAddress;
    QStringList listArgs = {"--address", strAddress, "--control", ControlPath(), "--log", LogPath()};
    for (const QString &strSetting : listSettings)
        listArgs << "--set" << strSetting;
    if (!m_process.Start(strProgram, listArgs + listExtra))
        return false;
    WaitUntil([&] { return QFile::exists(LogPath()) || m_process.WaitExit(milliseconds(0)); }, c_startTimeout);
    return QFile::exists(LogPath()) && m_process.Running();
}

// Written beside the old file and renamed over it, so the program never reads half a file.
bool SimProcess::Set(const QString &strKey, const QString &strValue)
{
    m_mapSetting[strKey] = strValue;
    QByteArray baText;
    for (auto it = m_mapSetting.cbegin(); it != m_mapSetting.cend(); ++it)
        baText += it.key().toUtf8() + '=' + it.value().toUtf8() + '\n';
    QSaveFile file(ControlPath());
    return file.open(QIODevice::WriteOnly) && file.write(baText) == baText.size() && file.commit();
}

QList<QByteArray> SimProcess::Logged(const QString &strKind, int iFields, int iKindField, int iBytesField) const
{
    QList<QByteArray> list;
    const QByteArray baKind = strKind.toLatin1();
    for (const QByteArray &baLine : ReadWholeFile(LogPath()).split('\n')) {
        const QList<QByteArray> listField = baLine.split(' ');
        if (listField.size() != iFields)
            continue;
        if (baKind.isEmpty() || listField[iKindField] == baKind)
            list.append(QByteArray::fromHex(listField[iBytesField]));
    }
    return list;
}

bool SimProcess::Stop()
{
    m_process.Signal(SIGTERM);
    return m_process.WaitExit(c_stopTimeout) && m_process.ExitedNormally() && m_process.ExitCode() == 0;
}
