#include "UtilLanguageCtrl.h"

namespace tool
{
// Values 4 and 42 carry the same texts, as do the Chinese descriptions of 11 and 14:
// the printers report these conditions under two codes each.
const QString c_strStatusLanguageText[STATUS_COUNT][c_iLanguageCount] = {
    {"Unknown", "未知"},  // STATUS_UNKNOWN
    {"Version mismatch", "数据格式错误或版本不匹配"},  // STATUS_VERSION_MISMATCH
    {"Off-line", "脱机"},  // STATUS_OFFLINE
    {"Ready", "就绪"},  // STATUS_READY
    {"Initialize", "初始化"},  // STATUS_INITIALIZE
    {"Busy", "忙碌"},  // STATUS_BUSY
    {"Canceling job", "正在取消任务"},  // STATUS_CANCELING_JOB
    {"Error", "错误"},  // STATUS_ERROR
    {"Printing", "正在打印"},  // STATUS_PRINTING
    {"Scanning", "正在扫描"},  // STATUS_SCANNING
    {"Copying", "正在复印"},  // STATUS_COPYING
    {"Reporting", "正在打印报告"},  // STATUS_REPORTING
    {"", ""},  // STATUS_KQ_STATE4
};

const QString c_strErrorDescText[ERR_COUNT][c_iLanguageCount] = {
    {"Unknown error status", "错误状态未知"},  // ERR_UNKNOWN
    {"Fixer error", "定影器错误"},  // ERR_FIXER
    {"Laser damage", "激光损坏"},  // ERR_LASER_DAMAGE
    {"No scanner detected", "未检测到扫描仪"},  // ERR_NO_SCANNER
    {"Printer breakdown", "打印机故障"},  // ERR_PRINTER_BREAKDOWN
    {"High temperature printer", "打印机温度较高"},  // ERR_HIGH_TEMPERATURE
    {"Front cover open", "前盖已打开"},  // ERR_FRONT_COVER_OPEN
    {"Cartridge with an unsupported serial number inserted", "插入了不支持的序列号的碳粉盒"},  // ERR_UNSUPPORTED_CARTRIDGE_SN
    {"Printer and cartridge do not match", "打印机和碳粉盒不匹配"},  // ERR_CARTRIDGE_MISMATCH
    {"Toner cartridge is invalid", "碳粉盒无效"},  // ERR_CARTRIDGE_INVALID
    {"Cartridge error", "碳粉盒错误"},  // ERR_CARTRIDGE
    {"Toner low", "碳粉不足"},  // ERR_TONER_LOW
    {"Toner empty, low quality", "碳粉已用完，继续打印将影响质量"},  // ERR_TONER_EMPTY_LOW_QUALITY
    {"Toner empty, replace cartridge", "碳粉已用完，请更换碳粉盒"},  // ERR_TONER_EMPTY_REPLACE
    {"Toner is running out", "碳粉不足"},  // ERR_TONER_RUNNING_OUT
    {"Cartridge will be full", "碳粉盒寿命将要耗尽"},  // ERR_CARTRIDGE_LIFE_NEAR_END
    {"Cartridge's life is full", "碳粉盒寿命已耗尽"},  // ERR_CARTRIDGE_LIFE_END
    {"No toner cartridge is placed", "没有检测到碳粉盒"},  // ERR_NO_CARTRIDGE
    {"The waste toner will be full", "废粉箱将满"},  // ERR_WASTE_TONER_NEAR_FULL
    {"The waste toner full", "废粉箱已满"},  // ERR_WASTE_TONER_FULL
    {"Cartridge printing paper near the upper limit", "碳粉盒打印页数将达到极限"},  // ERR_CARTRIDGE_PAGES_NEAR_LIMIT
    {"Cartridge prints page limit reached", "打印页数已达到极限"},  // ERR_CARTRIDGE_PAGES_LIMIT
    {"The printer will exceed the design life!", "本机将要超过设计寿命！"},  // ERR_DESIGN_LIFE_NEAR_END
    {"The printer has exceeded the design life!", "本机已超过设计寿命！"},  // ERR_DESIGN_LIFE_EXCEEDED
    {"Printer memory overflow", "设备内存不足"},  // ERR_MEMORY_OVERFLOW
    {"Cooling", "设备温度太高"},  // ERR_COOLING
    {"ADF paper jam", "ADF卡纸"},  // ERR_ADF_PAPER_JAM
    {"ADF no paper", "ADF中无纸"},  // ERR_ADF_NO_PAPER
    {"ADF feed failed", "ADF抽纸失败"},  // ERR_ADF_FEED_FAILED
    {"Invalid setting error", "设置无效"},  // ERR_INVALID_SETTING
    {"Paper tray is empty", "纸盘中无纸"},  // ERR_TRAY_EMPTY
    {"Manual feeder does not put paper", "手动进纸器中无纸"},  // ERR_MANUAL_FEEDER_EMPTY
    {"Manual feeder stop", "手动进纸器异常"},  // ERR_MANUAL_FEEDER_STOP
    {"Tray does not match", "纸张来源不匹配"},  // ERR_TRAY_MISMATCH
    {"Paper jam inside", "设备内卡纸"},  // ERR_JAM_INSIDE
    {"Paper jam in tray", "纸盒内卡纸"},  // ERR_JAM_TRAY
    {"Paper jam rear", "设备后部卡纸"},  // ERR_JAM_REAR
    {"Paper size does not match", "纸张尺寸不匹配"},  // ERR_PAPER_SIZE_MISMATCH
    {"Initial setup error", "初始设置错误"},  // ERR_INITIAL_SETUP
    {"Tablet scan error", "平板扫描出错"},  // ERR_FLATBED_SCAN
    {"ADF scan without paper", "ADF无纸"},  // ERR_ADF_SCAN_NO_PAPER
    {"File size exceeds limit", "文件大小超过限制"},  // ERR_FILE_SIZE_LIMIT
    {"Printer breakdown", "打印机故障"},  // ERR_PRINTER_BREAKDOWN2
    {"IP settings error", "IP设置错误"},  // ERR_IP_SETTINGS
    {"IP conflict", "IP地址冲突"},  // ERR_IP_CONFLICT
    {"Authentication failed", "身份识别失败"},  // ERR_AUTH_FAILED
    {"Authentication Timeout", "打印用户已失效"},  // ERR_AUTH_TIMEOUT
    {"ADC fail", "系统错误 1302"},  // ERR_ADC_FAIL
    {"24Vmos breakdown", "系统错误 1303"},  // ERR_24V_MOS_BREAKDOWN
    {"netsec on", "违规外连安全防护已开启"},  // ERR_NETSEC_ON
};

const QString c_strErrorSolutionText[ERR_COUNT][c_iLanguageCount] = {
    {"", ""},  // ERR_UNKNOWN
    {"Restart/contact service", "重启/联系客服"},  // ERR_FIXER
    {"Restart/contact service", "重启/联系客服"},  // ERR_LASER_DAMAGE
    {"Restart/contact service", "重启/联系客服"},  // ERR_NO_SCANNER
    {"Restart/contact service", "重启/联系客服"},  // ERR_PRINTER_BREAKDOWN
    {"Stop Printing/Shut Down Waiting for Cooling/Contacting service", "停止打印/关机等待冷却/联系客服"},  // ERR_HIGH_TEMPERATURE
    {"Close the front cover", "关闭前盖板"},  // ERR_FRONT_COVER_OPEN
    {"Please check the toner cartridge", "请检查碳粉盒"},  // ERR_UNSUPPORTED_CARTRIDGE_SN
    {"Please check the toner cartridge", "请检查碳粉盒"},  // ERR_CARTRIDGE_MISMATCH
    {"Please check the toner cartridge", "请检查碳粉盒"},  // ERR_CARTRIDGE_INVALID
    {"Please check the toner cartridge", "请检查碳粉盒"},  // ERR_CARTRIDGE
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_TONER_LOW
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_TONER_EMPTY_LOW_QUALITY
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_TONER_EMPTY_REPLACE
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_TONER_RUNNING_OUT
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_CARTRIDGE_LIFE_NEAR_END
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_CARTRIDGE_LIFE_END
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_NO_CARTRIDGE
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_WASTE_TONER_NEAR_FULL
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_WASTE_TONER_FULL
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_CARTRIDGE_PAGES_NEAR_LIMIT
    {"Replace the toner cartridge", "请更换碳粉盒"},  // ERR_CARTRIDGE_PAGES_LIMIT
    {"", ""},  // ERR_DESIGN_LIFE_NEAR_END
    {"Contact service", "联系客服"},  // ERR_DESIGN_LIFE_EXCEEDED
    {"Restart/contact service", "重启/联系客服"},  // ERR_MEMORY_OVERFLOW
    {"Waiting for cooling", "请等待冷却"},  // ERR_COOLING
    {"Please pull out the paper", "请拉出纸张"},  // ERR_ADF_PAPER_JAM
    {"Please insert the paper", "请插入文稿"},  // ERR_ADF_NO_PAPER
    {"Check ADF", "检查ADF"},  // ERR_ADF_FEED_FAILED
    {"Re-setting", "重新进行设置"},  // ERR_INVALID_SETTING
    {"Please insert the paper", "请插入文稿"},  // ERR_TRAY_EMPTY
    {"Check the manual feeder", "请检查手动进纸器"},  // ERR_MANUAL_FEEDER_EMPTY
    {"Please send paper from manual feeder", "请从手动进纸器送纸"},  // ERR_MANUAL_FEEDER_STOP
    {"Insert tray", "插入纸盘"},  // ERR_TRAY_MISMATCH
    {"Pull out the paper", "请拉出纸张"},  // ERR_JAM_INSIDE
    {"Pull out the paper", "请拉出纸张"},  // ERR_JAM_TRAY
    {"Pull out the paper", "请拉出纸张"},  // ERR_JAM_REAR
    {"Please check the paper setting and actual paper size", "请检查纸张设置和实际纸张尺寸"},  // ERR_PAPER_SIZE_MISMATCH
    {"Restart/contact service", "重启/联系客服"},  // ERR_INITIAL_SETUP
    {"Restart/contact service", "重启/联系客服"},  // ERR_FLATBED_SCAN
    {"Check the ADF paper placement", "检查ADF纸张放入位置"},  // ERR_ADF_SCAN_NO_PAPER
    {"Reset the paper size", "重新设置纸张大小"},  // ERR_FILE_SIZE_LIMIT
    {"Restart/contact service", "重启/联系客服"},  // ERR_PRINTER_BREAKDOWN2
    {"Reset IP", "重新设置IP"},  // ERR_IP_SETTINGS
    {"Reset IP", "重新设置IP"},  // ERR_IP_CONFLICT
    {"Check user info", "检查用户信息，并重新登录"},  // ERR_AUTH_FAILED
    {"Log in again", "请重新登录"},  // ERR_AUTH_TIMEOUT
    {"Restart/contact service", "重启/联系客服"},  // ERR_ADC_FAIL
    {"Restart/contact service", "重启/联系客服"},  // ERR_24V_MOS_BREAKDOWN
    {"Ethnet disabled", "网络功能已禁用"},  // ERR_NETSEC_ON
};

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

namespace
{
QString Lookup(const QString (*table)[c_iLanguageCount], int iRows, int iRow, int iLanguage)
{
    if (iRow < 0 || iRow >= iRows || iLanguage < 0 || iLanguage >= c_iLanguageCount)
        return {};
    return table[iRow][iLanguage];
}
}  // namespace

QString StatusText(int iStatus, int iLanguage)
{
    return Lookup(c_strStatusLanguageText, STATUS_COUNT, iStatus, iLanguage);
}

QString ErrorDescText(int iCode, int iLanguage)
{
    return Lookup(c_strErrorDescText, ERR_COUNT, iCode, iLanguage);
}

QString ErrorSolutionText(int iCode, int iLanguage)
{
    return Lookup(c_strErrorSolutionText, ERR_COUNT, iCode, iLanguage);
}

QString ToolText(enToolText enText, int iLanguage)
{
    return Lookup(c_strToolText, TEXT_COUNT, enText, iLanguage);
}
}  // namespace tool
