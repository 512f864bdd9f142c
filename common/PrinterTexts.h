// The printer texts of the catalogue, in English and Chinese, indexed by the decoded
// state and condition values: the tray tool and printstat show them, printsvc puts
// them into its metrics.
#pragma once

#include <QString>

#include "PrinterEnums.h"

constexpr int c_iLanguageEnglish = 0;
constexpr int c_iLanguageChinese = 1;
constexpr int c_iLanguageCount = 2;

extern const QString c_strStatusLanguageText[STATUS_COUNT][c_iLanguageCount];
extern const QString c_strErrorDescText[ERR_COUNT][c_iLanguageCount];
extern const QString c_strErrorSolutionText[ERR_COUNT][c_iLanguageCount];

// A cell of a table of iRows rows; empty for a row or language outside it.
QString TextLookup(const QString (*table)[c_iLanguageCount], int iRows, int iRow, int iLanguage);

// Look-ups that stay inside the tables for any value and language.
QString StatusText(int iStatus, int iLanguage);
QString ErrorDescText(int iCode, int iLanguage);
QString ErrorSolutionText(int iCode, int iLanguage);
