#include "UtilDesktopLocale.h"

#include <QByteArray>
#include <QList>

#include "UtilLanguageCtrl.h"

namespace
{
const char *const c_szLocaleVariable[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// LANGUAGE is a priority list ("zh_CN:en"); the other variables hold one locale.
QByteArray FirstLocale()
{
    for (const char *szName : c_szLocaleVariable) {
        const QByteArray baValue = qgetenv(szName).split(':').first();
        if (!baValue.isEmpty())
            return baValue;
    }
    return {};
}
}  // namespace

namespace tool
{
int DesktopLanguage()
{
    return FirstLocale().startsWith("zh") ? c_iLanguageChinese : c_iLanguageEnglish;
}
}  // namespace tool
