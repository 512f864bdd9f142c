// A private desktop for the tray tool's tests: an X server (Xvfb), a session bus,
// and optionally an XEmbed tray host (trayer) or a D-Bus tray host with a
// notification server (python3-dbusmock). Everything it starts, it stops.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

struct stGuiOptions
{
    QSize sizeScreen{1920, 1080};
    bool bTrayer = false;    // XEmbed tray: Qt draws its own notification balloons
    bool bDBusTray = false;  // status notifier host and notification server on the bus
};

struct stXWindow
{
    QString strId;
    QString strName;
    QString strClass;
    QRect rect;  // absolute
    bool bTopLevel = true;
};

class GuiSession
{
public:
    GuiSession();
    ~GuiSession();
    GuiSession(const GuiSession &) = delete;
    GuiSession &operator=(const GuiSession &) = delete;

    // The first program the options need that is not installed; empty when all are.
    static QString MissingProgram(const stGuiOptions &options);
    bool Start(const stGuiOptions &options);
    QString Why() const { return m_strWhy; }

    // The environment for the program under test: this desktop, this bus, this install root,
    // and a Chinese locale, which the cases in another language replace (WithLocale).
    QProcessEnvironment Env(const QString &strPrefix) const;
    // Runs an X client against this display; its standard output, empty on failure.
    QByteArray Run(const QString &strProgram, const QStringList &listArgs, int *piExit = nullptr) const;

    // Mapped windows of one X class, with their absolute geometry.
    QList<stXWindow> VisibleWindows(const QString &strClass) const;
    std::optional<stXWindow> VisibleWindowNamed(const QString &strClass, const QString &strName) const;
    // A top-level window of the class with that name, shown or not.
    std::optional<stXWindow> WindowNamed(const QString &strClass, const QString &strName) const;
    // The centre of a docked tray icon of that class, once docked.
    std::optional<QPoint> TrayIconCentre(const QString &strClass) const;
    // The whole screen, or one window given by its id.
    bool Screenshot(const QString &strPath, const QString &strWindow = "root") const;
    // Every window of the display as xwininfo lists it: what a failed wait prints.
    QString Describe() const;
    // The notification server's record of method calls (dbusmock's log).
    QString NotifyLog() const;

private:
    bool StartX(const QSize &sizeScreen);
    bool StartBus();
    bool StartProcess(std::unique_ptr<QProcess> &pProcess, const QString &strProgram, const QStringList &listArgs);
    bool BusNameOwned(const QString &strName) const;
    bool Fail(const QString &strWhy);
    QList<stXWindow> AllWindows() const;

    QTemporaryDir m_dir;
    QString m_strDisplay;
    QString m_strBus;
    std::unique_ptr<QProcess> m_pX;
    std::unique_ptr<QProcess> m_pBus;
    std::unique_ptr<QProcess> m_pTrayer;
    std::unique_ptr<QProcess> m_pNotify;
    std::unique_ptr<QProcess> m_pWatcher;
    QString m_strWhy;
};
