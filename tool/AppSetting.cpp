#include "AppSetting.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>

#include "UtilLanguageCtrl.h"
#include "UtilPrinterText.h"
#include "ui_AppSetting.h"

namespace tool
{
AppSetting::AppSetting(int iLanguage, QWidget *parent) : QWidget(parent), ui(new Ui::AppSetting)
{
    ui->setupUi(this);
    const QRect rectDesktop = QGuiApplication::primaryScreen()->virtualGeometry();
    const float fScale = DesktopScale(rectDesktop.width());
    if (rectDesktop.width() > c_iBaseDesktopWidth) {
        ScaleControl(this, fScale);
        ScaleControl(ui->checkBoxAutoStart, fScale);
        ScaleControl(ui->pushButtonOK, fScale);
        ScaleControl(ui->pushButtonCancel, fScale);
    }
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    setWindowTitle(ToolText(TEXT_SETTINGS, iLanguage));
    move((rectDesktop.width() - width()) / 2, (rectDesktop.height() - height()) / 2);
    ui->checkBoxAutoStart->setText(ToolText(TEXT_AUTOSTART, iLanguage));
    ui->pushButtonOK->setText(ToolText(TEXT_OK, iLanguage));
    ui->pushButtonCancel->setText(ToolText(TEXT_CANCEL, iLanguage));
    InitOption();
}

AppSetting::~AppSetting()
{
    delete ui;
}

void AppSetting::ScaleControl(QWidget *widget, float fScale)
{
    widget->resize(ScaledLength(widget->width(), fScale), ScaledLength(widget->height(), fScale));
    widget->move(ScaledLength(widget->x(), fScale), ScaledLength(widget->y(), fScale));
}

void AppSetting::InitOption()
{
    ui->checkBoxAutoStart->setChecked(ReadAutoStartOption());
}

void AppSetting::SaveOption()
{
    SaveAutoStartOption(ui->checkBoxAutoStart->checkState() != Qt::Unchecked);
}

QString AppSetting::AutoStartDir()
{
    QString strDir = qEnvironmentVariable("OSTREL_AUTOSTART_DIR");
    if (strDir.isEmpty())
        return QString::fromUtf8(c_szAutoStartDir);
    if (!strDir.endsWith('/'))
        strDir += '/';
    return strDir;
}

QString AppSetting::AutoStartEntryPath()
{
    return AutoStartDir() + c_szAutoStartEntry;
}

QString AppSetting::InstalledEntryPath()
{
    return QCoreApplication::applicationDirPath() + "/" + c_szAutoStartEntry;
}

bool AppSetting::ReadAutoStartOption()
{
    return QFile::exists(AutoStartEntryPath());
}

bool AppSetting::SaveAutoStartOption(bool enable)
{
    if (!enable)
        return QFile::remove(AutoStartEntryPath());
    QDir().mkpath(AutoStartDir());
    // QFile::copy refuses an existing target, so a present entry is never overwritten.
    return QFile::copy(InstalledEntryPath(), AutoStartEntryPath());
}

void AppSetting::on_pushButtonOK_clicked()
{
    hide();
    SaveOption();
    InitOption();
}

void AppSetting::on_pushButtonCancel_clicked()
{
    hide();
    InitOption();
}

void AppSetting::closeEvent(QCloseEvent *event)
{
    event->ignore();
    on_pushButtonCancel_clicked();
}
}  // namespace tool
