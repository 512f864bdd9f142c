// The language a desktop program shows, taken from the user's locale the way
// gettext takes it, so the tool and printstat agree with the rest of the desktop.
#pragma once

// c_iLanguageChinese for a "zh" locale, c_iLanguageEnglish for any other or none.
// LANGUAGE's first entry decides where it is set, then LC_ALL, LC_MESSAGES, LANG.
namespace tool
{
int DesktopLanguage();
}  // namespace tool
