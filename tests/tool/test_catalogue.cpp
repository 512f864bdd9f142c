#include <gtest/gtest.h>

#include "tool/UtilLanguageCtrl.h"

using namespace tool;

namespace
{
struct stTextCase
{
    QString (*pfnLookup)(int, int);
    int iRow;
    int iLanguage;
    const char *szText;
};
}  // namespace

TEST(Catalogue, RowsReadAsPrinted)
{
    const stTextCase c_cases[] = {
        {StatusText, STATUS_OFFLINE, c_iLanguageChinese, "脱机"},
        {StatusText, STATUS_OFFLINE, c_iLanguageEnglish, "Off-line"},
        {StatusText, STATUS_VERSION_MISMATCH, c_iLanguageChinese, "数据格式错误或版本不匹配"},
        {StatusText, STATUS_REPORTING, c_iLanguageChinese, "正在打印报告"},
        {StatusText, STATUS_KQ_STATE4, c_iLanguageChinese, ""},
        {StatusText, STATUS_KQ_STATE4, c_iLanguageEnglish, ""},
        {ErrorDescText, ERR_UNKNOWN, c_iLanguageChinese, "错误状态未知"},
        {ErrorSolutionText, ERR_UNKNOWN, c_iLanguageChinese, ""},
        {ErrorSolutionText, ERR_UNKNOWN, c_iLanguageEnglish, ""},
        {ErrorDescText, ERR_FRONT_COVER_OPEN, c_iLanguageChinese, "前盖已打开"},
        {ErrorDescText, ERR_TONER_LOW, c_iLanguageChinese, "碳粉不足"},
        {ErrorDescText, ERR_TONER_EMPTY_LOW_QUALITY, c_iLanguageChinese, "碳粉已用完，继续打印将影响质量"},
        {ErrorDescText, ERR_CARTRIDGE_LIFE_END, c_iLanguageEnglish, "Cartridge's life is full"},
        {ErrorSolutionText, ERR_HIGH_TEMPERATURE, c_iLanguageEnglish,
         "Stop Printing/Shut Down Waiting for Cooling/Contacting service"},
        {ErrorSolutionText, ERR_DESIGN_LIFE_NEAR_END, c_iLanguageChinese, ""},
        {ErrorDescText, ERR_ADC_FAIL, c_iLanguageChinese, "系统错误 1302"},
        {ErrorDescText, ERR_24V_MOS_BREAKDOWN, c_iLanguageChinese, "系统错误 1303"},
        {ErrorSolutionText, ERR_AUTH_FAILED, c_iLanguageChinese, "检查用户信息，并重新登录"},
        {ErrorDescText, ERR_NETSEC_ON, c_iLanguageChinese, "违规外连安全防护已开启"},
        {ErrorSolutionText, ERR_NETSEC_ON, c_iLanguageEnglish, "Ethnet disabled"},
    };
    for (const stTextCase &c : c_cases)
        EXPECT_EQ(c.pfnLookup(c.iRow, c.iLanguage), QString::fromUtf8(c.szText)) << "row " << c.iRow;
}

TEST(Catalogue, SharedTextsAndCompleteness)
{
    for (int iLanguage : {c_iLanguageEnglish, c_iLanguageChinese}) {
        EXPECT_EQ(ErrorDescText(ERR_PRINTER_BREAKDOWN, iLanguage), ErrorDescText(ERR_PRINTER_BREAKDOWN2, iLanguage));
        EXPECT_EQ(ErrorSolutionText(ERR_PRINTER_BREAKDOWN, iLanguage),
                  ErrorSolutionText(ERR_PRINTER_BREAKDOWN2, iLanguage));
        for (int i = 0; i < STATUS_KQ_STATE4; ++i)
            EXPECT_FALSE(StatusText(i, iLanguage).isEmpty()) << i;
        for (int i = 0; i < ERR_COUNT; ++i) {
            EXPECT_FALSE(ErrorDescText(i, iLanguage).isEmpty()) << i;
            EXPECT_EQ(ErrorSolutionText(i, iLanguage).isEmpty(), i == ERR_UNKNOWN || i == ERR_DESIGN_LIFE_NEAR_END) << i;
        }
    }
    EXPECT_EQ(ErrorDescText(ERR_TONER_LOW, c_iLanguageChinese), ErrorDescText(ERR_TONER_RUNNING_OUT, c_iLanguageChinese));
    EXPECT_NE(ErrorDescText(ERR_TONER_LOW, c_iLanguageEnglish), ErrorDescText(ERR_TONER_RUNNING_OUT, c_iLanguageEnglish));
}

TEST(Catalogue, LookupsOutsideTheTablesAreEmpty)
{
    EXPECT_TRUE(StatusText(STATUS_COUNT, c_iLanguageChinese).isEmpty());
    EXPECT_TRUE(StatusText(-1, c_iLanguageChinese).isEmpty());
    EXPECT_TRUE(ErrorDescText(ERR_COUNT, c_iLanguageEnglish).isEmpty());
    EXPECT_TRUE(ErrorSolutionText(ERR_FIXER, c_iLanguageCount).isEmpty());
}
