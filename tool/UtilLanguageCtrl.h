// Every text the tool and printstat show, in English and Chinese: the printer
// texts indexed by the decoded state and condition values, and the programs' own.
#pragma once

#include <QString>

#include "PrinterEnums.h"

namespace tool
{
constexpr int c_iLanguageEnglish = 0;
constexpr int c_iLanguageChinese = 1;
constexpr int c_iLanguageCount = 2;

extern const QString c_strStatusLanguageText[STATUS_COUNT][c_iLanguageCount];
extern const QString c_strErrorDescText[ERR_COUNT][c_iLanguageCount];
extern const QString c_strErrorSolutionText[ERR_COUNT][c_iLanguageCount];

enum enToolText
{
    TEXT_APP_TITLE,
    TEXT_HEADER_NAME,
    TEXT_HEADER_CONNECTION,
    TEXT_HEADER_TONER,
    TEXT_HEADER_STATE,
    TEXT_CONNECT_USB,
    TEXT_CONNECT_NETWORK,
    TEXT_MENU_SHOW,
    TEXT_MENU_UPDATE_FW,
    TEXT_SETTINGS,  // the menu entry and the settings window's title
    TEXT_MENU_EXIT,
    TEXT_AUTOSTART,
    TEXT_OK,
    TEXT_CANCEL,
    TEXT_RUNNING_SUFFIX,  // follows the title in the already-running box
    TEXT_RUNNING_BUTTON,
    TEXT_COUNT
};

extern const QString c_strToolText[TEXT_COUNT][c_iLanguageCount];

// Look-ups that stay inside the tables for any value and language.
QString StatusText(int iStatus, int iLanguage);
QString ErrorDescText(int iCode, int iLanguage);
QString ErrorSolutionText(int iCode, int iLanguage);
QString ToolText(enToolText enText, int iLanguage);
}  // namespace tool
