#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QScopedPointer>
#include <QTranslator>

#include "QuarnPrinterToolWidget.h"
#include "UtilDesktopLocale.h"
#include "UtilLanguageCtrl.h"
#include "UtilLog.h"
#include "UtilThreadBase.h"

namespace
{
// Qt's own texts (dialog buttons, context menus of the table) in the tool's language;
// Qt's built-in texts are the English ones.
void InitTranslator(QApplication &app, QTranslator &translator, int iLanguage)
{
    if (iLanguage != tool::c_iLanguageChinese)
        return;
    if (translator.load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                        QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&translator);
}
}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SetLogProfile({"tool", "log_tool"});
    const int iLanguage = tool::DesktopLanguage();
    QTranslator translator;
    InitTranslator(app, translator, iLanguage);
    if (CheckIsRunning()) {
        QScopedPointer<QMessageBox> pBox(tool::CreateRunningBox(iLanguage));
        pBox->exec();
        return 0;
    }
    // A tray program lives on with no window shown; only its exit entry ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    tool::QuarnPrinterToolWidget widget;
    if (tool::CheckIsHide(argc, argv))
        widget.hide();
    else
        widget.show();
    return app.exec();
}
