#include <gtest/gtest.h>

#include "tool/UtilLanguageCtrl.h"
#include "tool/UtilPrinterText.h"

using namespace tool;

namespace
{
stPrinterManager Printer(const QString &strName, const QString &strModel, unsigned long ulToner)
{
    stPrinterManager printer;
    printer.stInfo.strPrinterName = strName;
    printer.stInfo.enType = strModel;
    printer.stState.dwRemainingToner = ulToner;
    return printer;
}

stPrinterState State(enPrinterStatus enStatus, QList<enErrorStatus> listError, QList<enErrorStatus> listWarning)
{
    stPrinterState state;
    state.enCurrentStatus = enStatus;
    state.listError = listError;
    state.listWarning = listWarning;
    return state;
}
}  // namespace

TEST(PrinterText, ConnectionCell)
{
    stPrinterInfo info;
    info.iConnectType = CONNECT_USB;
    info.strPort = "OSTREL/VX1310?serial=7";
    EXPECT_EQ(ConnectionText(info, c_iLanguageChinese), "USB");
    info.iConnectType = CONNECT_NETWORK;
    info.strPort = "127.0.0.2";
    EXPECT_EQ(ConnectionText(info, c_iLanguageChinese), QString::fromUtf8("网络(127.0.0.2)"));
    EXPECT_EQ(ConnectionText(info, c_iLanguageEnglish), "Network(127.0.0.2)");
    info.iConnectType = CONNECT_UNSET;  // a list file without the key
    EXPECT_EQ(ConnectionText(info, c_iLanguageChinese), QString::fromUtf8("网络(127.0.0.2)"));
}

// The family follows the list file's model; the queue name decides only without one.
TEST(PrinterText, TonerScaleFollowsTheFamily)
{
    const struct
    {
        const char *szName;
        const char *szModel;
        unsigned long ulToner;
        const char *szText;
    } c_cases[] = {
        {"Lab", "OSTREL VX3010", 5, "0.05%"},
        {"Lab", "OSTREL VX3010", 3750, "37.50%"},
        {"Office", "OSTREL VX3310 Pro", 100, "100.00%"},
        {"Office", "OSTREL VX1310", 37, "37.00%"},
        {"VX1310-floor2", "", 37, "37.00%"},
        {"VX1310-floor2", "OSTREL VX3010", 3750, "37.50%"},
        {"Office", "", 3750, "37.50%"},
    };
    for (const auto &c : c_cases)
        EXPECT_EQ(TonerText(Printer(c.szName, c.szModel, c.ulToner)), c.szText) << c.szName << " / " << c.szModel;
}

TEST(PrinterText, StateCellAndNotice)
{
    const struct
    {
        stPrinterState state;
        const char *szCell;
        enNoticeKind enNotice;
        const char *szMessage;
    } c_cases[] = {
        {State(STATUS_PRINTING, {}, {ERR_TONER_LOW}), "正在打印(碳粉不足)", NOTICE_WARNING, "碳粉不足"},
        {State(STATUS_READY, {}, {ERR_TONER_LOW}), "就绪", NOTICE_WARNING, "碳粉不足"},
        {State(STATUS_READY, {ERR_FRONT_COVER_OPEN, ERR_TONER_LOW}, {}), "前盖已打开", NOTICE_CRITICAL, "前盖已打开"},
        {State(STATUS_PRINTING, {ERR_JAM_REAR}, {ERR_TONER_LOW}), "设备后部卡纸", NOTICE_CRITICAL, "设备后部卡纸"},
        {State(STATUS_READY, {}, {}), "就绪", NOTICE_NONE, ""},
        {State(STATUS_OFFLINE, {}, {}), "脱机", NOTICE_NONE, ""},
        {State(STATUS_KQ_STATE4, {}, {}), "", NOTICE_NONE, ""},
    };
    for (const auto &c : c_cases) {
        stPrinterManager printer;
        printer.stInfo.strPrinterName = "Office";
        printer.stState = c.state;
        EXPECT_EQ(StateCellText(c.state, c_iLanguageChinese), QString::fromUtf8(c.szCell));
        const stNotice notice = NoticeFor(printer, c_iLanguageChinese);
        EXPECT_EQ(notice.enKind, c.enNotice) << c.szCell;
        EXPECT_EQ(notice.strMessage, QString::fromUtf8(c.szMessage));
        EXPECT_EQ(notice.strTitle, "Office");
    }
    EXPECT_EQ(StateCellText(State(STATUS_PRINTING, {}, {ERR_TONER_LOW}), c_iLanguageEnglish), "Printing(Toner low)");
    EXPECT_EQ(WarningTexts(State(STATUS_READY, {}, {ERR_TONER_LOW, ERR_COOLING}), c_iLanguageEnglish),
              QStringList({"Toner low", "Cooling"}));
}

TEST(PrinterText, WideDesktopScaling)
{
    EXPECT_EQ(DesktopScale(1920), 1.0f);
    EXPECT_EQ(DesktopScale(800), 1.0f);
    const float f = DesktopScale(2560);
    const int c_iExpected[][2] = {{600, 800}, {300, 400}, {120, 160}, {150, 200}, {85, 113}, {185, 246},
                                  {400, 533}, {80, 106},  {25, 33},   {560, 746}, {20, 26}};
    for (const auto &c : c_iExpected)
        EXPECT_EQ(ScaledLength(c[0], f), c[1]) << c[0];
}
