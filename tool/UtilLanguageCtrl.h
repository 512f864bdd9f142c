// Every text the tool and printstat show, in English and Chinese: the printer texts
// of the shared catalogue and the programs' own.
#pragma once

#include <QString>

#include "PrinterTexts.h"

namespace tool
{
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

// A look-up that stays inside the table for any value and language.
QString ToolText(enToolText enText, int iLanguage);
}  // namespace tool
