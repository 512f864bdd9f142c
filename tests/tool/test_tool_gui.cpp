// printtool as a user meets it: on a private X display with a real tray host,
// clicked with xdotool, and with a D-Bus tray whose notifications are recorded.
#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>

#include <csignal>
#include <iostream>

#include "GuiSession.h"
#include "TestSupport.h"
#include "ToolTestSupport.h"

using namespace std::chrono;

namespace
{
constexpr seconds c_waitLong{30};  // sanitizer builds start slowly on a busy machine
constexpr int c_iKQRawReady = 1;
constexpr std::uint16_t c_usFrontCover = 0x1106;
constexpr std::uint16_t c_usTonerLow = 0x110D;
const char *const c_szClass = "printtool";

QString Title()
{
    return QString::fromUtf8("Ostrel激光打印助手");
}

class ToolDesktop : public ::testing::Test
{
protected:
    // Skips when a program of the desktop is missing; install-deps.sh installs them all.
    void Begin(const stGuiOptions &options)
    {
        const QString strMissing = GuiSession::MissingProgram(options);
        if (!strMissing.isEmpty())
            GTEST_SKIP() << strMissing.toStdString() << " is not installed";
        ASSERT_TRUE(m_session.Start(options)) << m_session.Why().toStdString();
        ASSERT_TRUE(WritePrinterList(m_root.Cfg(), {ToolPrinter("Office", c_szModelKQ, CONNECT_NETWORK, "127.0.0.2")}));
    }

    bool StartTool(ChildProcess &tool, const QStringList &listArgs)
    {
        return tool.Start(PRINTTOOL_PATH, listArgs, m_session.Env(m_root.Path()));
    }

    std::optional<stXWindow> MainWindow() const { return m_session.VisibleWindowNamed(c_szClass, Title()); }

    // A shown top-level window of the tool other than its main window: a balloon or a menu.
    std::optional<stXWindow> Popup() const
    {
        for (const stXWindow &window : m_session.VisibleWindows(c_szClass)) {
            if (window.bTopLevel && window.strName != Title() && window.rect.width() > 40 && window.rect.height() > 25)
                return window;
        }
        return std::nullopt;
    }

    void Click(const QPoint &pt, const char *szButton)
    {
        m_session.Run("xdotool", {"mousemove", QString::number(pt.x()), QString::number(pt.y()), "click", szButton});
    }

    static QString ArtifactPath(const QString &strFile)
    {
        QDir().mkpath(TOOL_ARTIFACT_DIR);
        return QString(TOOL_ARTIFACT_DIR) + "/" + strFile;
    }

    TestInstallRoot m_root;
    GuiSession m_session;
    ChildProcess m_tool;
};

struct stNotifyCall
{
    QString strIcon;
    QString strTitle;
    QString strBody;
    QString strActions;
    int iTimeout;
};

QList<stNotifyCall> NotifyCalls(const QString &strLog)
{
    static const QRegularExpression c_re(
        R"re(Notify "[^"]*" \d+ "([^"]*)" "([^"]*)" "([^"]*)" (\[[^\]]*\]) .* (-?\d+)$)re");
    QList<stNotifyCall> list;
    for (const QString &strLine : strLog.split('\n')) {
        const QRegularExpressionMatch m = c_re.match(strLine);
        if (m.hasMatch())
            list.append({m.captured(1), m.captured(2), m.captured(3), m.captured(4), m.captured(5).toInt()});
    }
    return list;
}
}  // namespace

TEST_F(ToolDesktop, TrayIconDocksShowsTheWindowAnnouncesAndExits)
{
    Begin({QSize(1920, 1080), true, false});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(StartTool(m_tool, {"-hide"}));
    std::optional<QPoint> ptIcon;
    ASSERT_TRUE(WaitUntil([&] { return (ptIcon = m_session.TrayIconCentre(c_szClass)).has_value(); }, c_waitLong))
        << m_tool.Output().toStdString();
    EXPECT_FALSE(MainWindow().has_value());

    // A click that comes before the icon takes input is lost: click until the window shows.
    std::optional<stXWindow> window;
    ASSERT_TRUE(WaitUntil([&] {
        Click(*ptIcon, "1");
        return WaitUntil([&] { return (window = MainWindow()).has_value(); }, seconds(2));
    }, c_waitLong));
    EXPECT_EQ(window->rect, QRect(660, 390, 600, 300));

    // An error: the row changes and Qt's balloon appears beside the icon.
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {c_usFrontCover}, {}, 40)));
    std::optional<stXWindow> balloon;
    ASSERT_TRUE(WaitUntil([&] { return (balloon = Popup()).has_value(); }, c_waitLong));
    const QString strShot = ArtifactPath("printtool-tray-error.png");
    EXPECT_TRUE(m_session.Screenshot(strShot));
    std::cout << "screenshot: " << strShot.toStdString() << std::endl;
    EXPECT_TRUE(WaitUntil([&] { return !Popup().has_value(); }, c_waitLong));  // shown for 3000 ms

    // The context menu's last entry ends the program; the menu is opened again if a
    // click went astray.
    ASSERT_TRUE(WaitUntil([&] {
        const std::optional<stXWindow> menu = Popup();
        if (!menu)
            Click(*ptIcon, "3");
        else
            Click(QPoint(menu->rect.center().x(), menu->rect.bottom() - menu->rect.height() / 8), "1");
        return m_tool.WaitExit(seconds(2));
    }, c_waitLong));
    EXPECT_TRUE(m_tool.ExitedNormally());
    EXPECT_EQ(m_tool.ExitCode(), 0);
}

TEST_F(ToolDesktop, SecondStartShowsTheBoxAndLeavesWithZero)
{
    // The tray icon shows that the first copy is past its own check: started together,
    // each would count the other and both would show the box.
    Begin({QSize(1920, 1080), true, false});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(StartTool(m_tool, {"-hide"}));
    ASSERT_TRUE(WaitUntil([&] { return m_session.TrayIconCentre(c_szClass).has_value(); }, c_waitLong))
        << m_tool.Output().toStdString();
    ChildProcess second;
    ASSERT_TRUE(StartTool(second, {}));
    std::optional<stXWindow> box;
    ASSERT_TRUE(WaitUntil([&] { return (box = MainWindow()).has_value(); }, c_waitLong))
        << "second copy " << (second.Running() ? "running" : "ended") << ", said: " << second.Output().toStdString()
        << "\nwindows: " << m_session.Describe().toStdString();
    EXPECT_LT(box->rect.width(), 600);  // the box, not the window: the first instance stays hidden
    // The box may be mapped before it takes keys: press until it goes.
    ASSERT_TRUE(WaitUntil([&] {
        m_session.Run("xdotool", {"windowfocus", "--sync", box->strId});
        m_session.Run("xdotool", {"key", "Return"});
        return second.WaitExit(seconds(2));
    }, c_waitLong));
    EXPECT_TRUE(second.ExitedNormally());
    EXPECT_EQ(second.ExitCode(), 0);
    EXPECT_TRUE(m_tool.Running());
}

TEST_F(ToolDesktop, WideDesktopScalesTheWindow)
{
    Begin({QSize(2560, 1440), false, false});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(StartTool(m_tool, {}));
    std::optional<stXWindow> window;
    ASSERT_TRUE(WaitUntil([&] { return (window = MainWindow()).has_value(); }, c_waitLong));
    EXPECT_EQ(window->rect, QRect(880, 520, 800, 400));
}

TEST_F(ToolDesktop, DBusTrayNotifiesErrorsAndWarnings)
{
    Begin({QSize(1920, 1080), false, true});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(StartTool(m_tool, {"-hide"}));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {c_usFrontCover}, {}, 40)));
    const auto Call = [&](const char *szIcon, const char *szBody) -> std::optional<stNotifyCall> {
        for (const stNotifyCall &call : NotifyCalls(m_session.NotifyLog())) {
            if (call.strIcon == szIcon && call.strTitle == "Office" && call.strBody == QString::fromUtf8(szBody) &&
                call.iTimeout == 3000)
                return call;
        }
        return std::nullopt;
    };
    const auto HasCall = [&](const char *szIcon, const char *szBody) { return Call(szIcon, szBody).has_value(); };
    ASSERT_TRUE(WaitUntil([&] { return HasCall("dialog-error", "前盖已打开"); }, c_waitLong))
        << m_session.NotifyLog().toStdString();
    // Qt's own button text of a critical notification, translated: the Chinese Qt texts are loaded.
    EXPECT_TRUE(Call("dialog-error", "前盖已打开")->strActions.contains(QString::fromUtf8("\"确定\"")));
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {}, {c_usTonerLow}, 39)));
    EXPECT_TRUE(WaitUntil([&] { return HasCall("dialog-warning", "碳粉不足"); }, c_waitLong))
        << m_session.NotifyLog().toStdString();
}

// The desktop's locale decides the window's texts, the notifications' and Qt's own
// button texts; each language's window is kept as a screenshot to see that it fits.
struct stDesktopLanguage
{
    const char *szLang;
    const char *szLanguage;
    const char *szTitle;
    const char *szBody;
    const char *szButton;
    const char *szShot;
};

class ToolLanguage : public ToolDesktop, public ::testing::WithParamInterface<stDesktopLanguage>
{
};

// The window's title on a desktop with an XEmbed tray. Whether the window is shown at
// start is the other tests' business: here its name is what counts, shown or not.
TEST_P(ToolLanguage, WindowSpeaksTheDesktopsLanguage)
{
    const stDesktopLanguage &c = GetParam();
    Begin({QSize(1920, 1080), false, false});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(m_tool.Start(PRINTTOOL_PATH, {}, WithLocale(m_session.Env(m_root.Path()), c.szLang, c.szLanguage)));
    ASSERT_TRUE(WaitUntil([&] { return m_session.WindowNamed(c_szClass, QString::fromUtf8(c.szTitle)).has_value(); },
                          c_waitLong))
        << m_tool.Output().toStdString();
    if (!c.szShot)
        return;
    std::optional<stXWindow> window;
    if (WaitUntil([&] { return (window = m_session.VisibleWindowNamed(c_szClass, QString::fromUtf8(c.szTitle))).has_value(); },
                  seconds(5))) {
        const QString strShot = ArtifactPath(c.szShot);
        EXPECT_TRUE(m_session.Screenshot(strShot, window->strId));
        std::cout << "screenshot: " << strShot.toStdString() << std::endl;
    }
}

// Notifications through the desktop's D-Bus tray: the catalogue's text and Qt's button.
TEST_P(ToolLanguage, NotificationsSpeakTheDesktopsLanguage)
{
    const stDesktopLanguage &c = GetParam();
    Begin({QSize(1920, 1080), false, true});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(ReplaceFile(m_root.Cfg("Office.dat"), KQStatus(c_iKQRawReady, {c_usFrontCover}, {}, 40)));
    ASSERT_TRUE(
        m_tool.Start(PRINTTOOL_PATH, {"-hide"}, WithLocale(m_session.Env(m_root.Path()), c.szLang, c.szLanguage)));
    EXPECT_TRUE(WaitUntil([&] {
        for (const stNotifyCall &call : NotifyCalls(m_session.NotifyLog())) {
            if (call.strBody == QString::fromUtf8(c.szBody) && call.strActions.contains(QString::fromUtf8(c.szButton)))
                return true;
        }
        return false;
    }, c_waitLong)) << m_session.NotifyLog().toStdString();
}

std::string DesktopName(const ::testing::TestParamInfo<stDesktopLanguage> &info)
{
    static const char *const c_aszName[] = {"English", "Chinese", "LanguageFirst"};
    return c_aszName[info.index];
}

INSTANTIATE_TEST_SUITE_P(
    Desktops, ToolLanguage,
    ::testing::Values(
        stDesktopLanguage {"en_US.UTF-8", "", "Ostrel Laser Printer Assistant", "Front cover open", "\"OK\"",
                           "printtool-en.png"},
        stDesktopLanguage {"zh_CN.UTF-8", "", "Ostrel激光打印助手", "前盖已打开", "\"确定\"", "printtool-zh.png"},
        stDesktopLanguage {"en_US.UTF-8", "zh_CN:en", "Ostrel激光打印助手", "前盖已打开", "\"确定\"", nullptr}),
    DesktopName);
