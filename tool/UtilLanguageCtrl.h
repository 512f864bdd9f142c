// Every printer text the tool shows, in English and Chinese, indexed by the decoded
// state and condition values.
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

// Look-ups that stay inside the tables for any value and language.
QString StatusText(int iStatus, int iLanguage);
QString ErrorDescText(int iCode, int iLanguage);
QString ErrorSolutionText(int iCode, int iLanguage);
}  // namespace tool
