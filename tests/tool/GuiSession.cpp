#include "GuiSession.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QThread>

#include <chrono>

#include "TestSupport.h"
#include "ToolTestSupport.h"

using namespace std::chrono;

namespace
{
constexpr milliseconds c_startTimeout = seconds(20);
constexpr int c_iStopWaitMs = 5000;
constexpr int c_iClientWaitMs = 20000;
constexpr const char *c_szPython = "/usr/bin/python3";  // the interpreter that has dbusmock
constexpr const char *c_szNotifyName = "org.freedesktop.Notifications";
constexpr const char *c_szWatcherName = "org.kde.StatusNotifierWatcher";
constexpr int c_iRootChildIndent = 5;  // xwininfo's indentation of the root's children

bool HasDbusmock()
{
    QProcess probe;
    probe.start(c_szPython, {"-c", "import dbusmock"});
    return probe.waitForFinished(c_iClientWaitMs) && probe.exitStatus() == QProcess::NormalExit &&
           probe.exitCode() == 0;
}

void Stop(std::unique_ptr<QProcess> &pProcess)
{
    if (!pProcess || pProcess->state() == QProcess::NotRunning)
        return;
    pProcess->terminate();
    if (!pProcess->waitForFinished(c_iStopWaitMs)) {
        pProcess->kill();
        pProcess->waitForFinished(c_iStopWaitMs);
    }
}
}  // namespace

GuiSession::GuiSession() = default;

GuiSession::~GuiSession()
{
    Stop(m_pWatcher);
    Stop(m_pNotify);
    Stop(m_pTrayer);
    Stop(m_pBus);
    Stop(m_pX);
}

QString GuiSession::MissingProgram(const stGuiOptions &options)
{
    QStringList listNeeded = {"Xvfb", "dbus-daemon", "dbus-send", "xdotool", "xwininfo", "import"};
    if (options.bTrayer)
        listNeeded.append("trayer");
    for (const QString &strProgram : listNeeded) {
        if (QStandardPaths::findExecutable(strProgram).isEmpty())
            return strProgram;
    }
    if (options.bDBusTray && !HasDbusmock())
        return "python3-dbusmock";
    return {};
}

bool GuiSession::Fail(const QString &strWhy)
{
    m_strWhy = strWhy;
    return false;
}

bool GuiSession::StartProcess(std::unique_ptr<QProcess> &pProcess, const QString &strProgram,
                              const QStringList &listArgs)
{
    pProcess = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", m_dir.path());
    if (!m_strDisplay.isEmpty())
        env.insert("DISPLAY", m_strDisplay);
    if (!m_strBus.isEmpty())
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_strBus);
    pProcess->setProcessEnvironment(env);
    pProcess->setProcessChannelMode(QProcess::SeparateChannels);
    pProcess->setStandardErrorFile(m_dir.filePath(QFileInfo(strProgram).fileName() + ".err"));
    pProcess->start(strProgram, listArgs);
    return pProcess->waitForStarted(c_iClientWaitMs) || Fail("cannot start " + strProgram);
}

// -displayfd picks a free display and writes its number to standard output once it listens.
bool GuiSession::StartX(const QSize &sizeScreen)
{
    const QString strScreen = QString("%1x%2x24").arg(sizeScreen.width()).arg(sizeScreen.height());
    if (!StartProcess(m_pX, "Xvfb", {"-displayfd", "1", "-screen", "0", strScreen, "-nolisten", "tcp"}))
        return false;
    QByteArray baNumber;
    WaitUntil([&] {
        m_pX->waitForReadyRead(100);
        baNumber += m_pX->readAllStandardOutput();
        return baNumber.contains('\n') || m_pX->state() == QProcess::NotRunning;
    }, c_startTimeout);
    bool bOk = false;
    const int iDisplay = baNumber.trimmed().toInt(&bOk);
    if (!bOk)
        return Fail("Xvfb gave no display number");
    m_strDisplay = ":" + QString::number(iDisplay);
    return true;
}

bool GuiSession::StartBus()
{
    const QString strSocket = m_dir.filePath("bus");
    if (!StartProcess(m_pBus, "dbus-daemon", {"--session", "--nofork", "--address=unix:path=" + strSocket}))
        return false;
    m_strBus = "unix:path=" + strSocket;
    return WaitUntil([&] { return QFile::exists(strSocket); }, c_startTimeout) || Fail("no session bus");
}

bool GuiSession::BusNameOwned(const QString &strName) const
{
    QProcess send;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", m_strBus);
    send.setProcessEnvironment(env);
    send.start("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                             "org.freedesktop.DBus.NameHasOwner", "string:" + strName});
    return send.waitForFinished(c_iClientWaitMs) && send.readAllStandardOutput().contains("boolean true");
}

bool GuiSession::Start(const stGuiOptions &options)
{
    if (!m_dir.isValid())
        return Fail("no temporary directory");
    QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!StartX(options.sizeScreen) || !StartBus())
        return false;
    if (options.bTrayer &&
        !StartProcess(m_pTrayer, "trayer", {"--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width",
                                            "200"}))
        return false;
    if (!options.bDBusTray)
        return true;
    if (!StartProcess(m_pNotify, c_szPython,
                      {"-m", "dbusmock", "--template", "notification_daemon", "-l", m_dir.filePath("notify.log")}) ||
        !StartProcess(m_pWatcher, c_szPython, {"-m", "dbusmock", "--template", SNI_TEMPLATE_PATH}))
        return false;
    return WaitUntil([&] { return BusNameOwned(c_szNotifyName) && BusNameOwned(c_szWatcherName); },
                     c_startTimeout) ||
           Fail("the D-Bus tray host did not come up");
}

QProcessEnvironment GuiSession::Env(const QString &strPrefix) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *szKey : {"QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
                              "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"})
        env.remove(szKey);
    env.insert("DISPLAY", m_strDisplay);
    env.insert("DBUS_SESSION_BUS_ADDRESS", m_strBus);
    env.insert("XDG_RUNTIME_DIR", m_dir.path());
    env.insert("OSTREL_PREFIX", strPrefix);
    return WithLocale(env, "zh_CN.UTF-8");
}

QByteArray GuiSession::Run(const QString &strProgram, const QStringList &listArgs, int *piExit) const
{
    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_strDisplay);
    client.setProcessEnvironment(env);
    client.start(strProgram, listArgs);
    const bool bDone = client.waitForFinished(c_iClientWaitMs) && client.exitStatus() == QProcess::NormalExit;
    if (piExit)
        *piExit = bDone ? client.exitCode() : -1;
    return bDone ? client.readAllStandardOutput() : QByteArray();
}

QString GuiSession::Describe() const
{
    return QString::fromUtf8(Run("xwininfo", {"-root", "-tree"}));
}

QList<stXWindow> GuiSession::AllWindows() const
{
    static const QRegularExpression c_re(
        R"re(^( +)(0x[0-9a-f]+) "(.*)": \("([^"]*)" "([^"]*)"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)$)re");
    QList<stXWindow> list;
    for (const QString &strLine : Describe().split('\n')) {
        const QRegularExpressionMatch m = c_re.match(strLine);
        if (!m.hasMatch())
            continue;
        stXWindow window;
        window.bTopLevel = m.captured(1).size() <= c_iRootChildIndent;
        window.strId = m.captured(2);
        window.strName = m.captured(3);
        window.strClass = m.captured(5);
        window.rect = QRect(m.captured(8).toInt(), m.captured(9).toInt(), m.captured(6).toInt(), m.captured(7).toInt());
        list.append(window);
    }
    return list;
}

QList<stXWindow> GuiSession::VisibleWindows(const QString &strClass) const
{
    QSet<qulonglong> setVisible;
    for (const QByteArray &baId : Run("xdotool", {"search", "--onlyvisible", "--class", strClass}).split('\n')) {
        if (!baId.trimmed().isEmpty())
            setVisible.insert(baId.trimmed().toULongLong());
    }
    QList<stXWindow> list;
    for (const stXWindow &window : AllWindows()) {
        if (window.strClass == strClass && setVisible.contains(window.strId.toULongLong(nullptr, 16)))
            list.append(window);
    }
    return list;
}

std::optional<stXWindow> GuiSession::VisibleWindowNamed(const QString &strClass, const QString &strName) const
{
    for (const stXWindow &window : VisibleWindows(strClass)) {
        if (window.bTopLevel && window.strName == strName)
            return window;
    }
    return std::nullopt;
}

std::optional<stXWindow> GuiSession::WindowNamed(const QString &strClass, const QString &strName) const
{
    for (const stXWindow &window : AllWindows()) {
        if (window.strClass == strClass && window.bTopLevel && window.strName == strName)
            return window;
    }
    return std::nullopt;
}

std::optional<QPoint> GuiSession::TrayIconCentre(const QString &strClass) const
{
    for (const stXWindow &window : VisibleWindows(strClass)) {
        if (!window.bTopLevel)
            return window.rect.center();
    }
    return std::nullopt;
}

bool GuiSession::Screenshot(const QString &strPath, const QString &strWindow) const
{
    int iExit = -1;
    Run("import", {"-window", strWindow, strPath}, &iExit);
    return iExit == 0 && QFile::exists(strPath);
}

QString GuiSession::NotifyLog() const
{
    return QString::fromUtf8(ReadWholeFile(m_dir.filePath("notify.log")));
}
