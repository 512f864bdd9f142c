#include "UtilLanguageCtrl.h"

namespace tool
{
// The Chinese texts are the ones the tool has always shown, spacing included.
const QString c_strToolText[TEXT_COUNT][c_iLanguageCount] = {
    {"Ostrel Laser Printer Assistant", "Ostrel激光打印助手"},  // TEXT_APP_TITLE
    {"Printer name", "打印机名称"},  // TEXT_HEADER_NAME
    {"Connection", "连接方式"},  // TEXT_HEADER_CONNECTION
    {"Toner left", "剩余碳粉量"},  // TEXT_HEADER_TONER
    {"Status", "状态"},  // TEXT_HEADER_STATE
    {"USB", "USB"},  // TEXT_CONNECT_USB
    {"Network", "网络"},  // TEXT_CONNECT_NETWORK
    {"Show window", "显示主界面"},  // TEXT_MENU_SHOW
    {"Printer update assistant", "打印机更新助手"},  // TEXT_MENU_UPDATE_FW
    {"Settings", "设置"},  // TEXT_SETTINGS
    {"Exit", "退出"},  // TEXT_MENU_EXIT
    {"Start at log-in", "开机启动"},  // TEXT_AUTOSTART
    {"OK", "确定"},  // TEXT_OK
    {"Cancel", "取消"},  // TEXT_CANCEL
    {" is already running!", "已经处于运行中！"},  // TEXT_RUNNING_SUFFIX
    {"OK", "确  定"},  // TEXT_RUNNING_BUTTON
};

QString ToolText(enToolText enText, int iLanguage)
{
    return TextLookup(c_strToolText, TEXT_COUNT, enText, iLanguage);
}
}  // namespace tool
