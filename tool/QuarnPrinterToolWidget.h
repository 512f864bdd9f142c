// The tool's window with the printer table, its tray icon and menu, and the
// owner of the list and status readers.
#pragma once

#include <QList>
#include <QSystemTrayIcon>
#include <QWidget>

#include "SharedPrinterList.h"

namespace Ui
{
class QuarnPrinterToolWidget;
}

class QAction;
class QFileSystemWatcher;
class QMenu;
class QMessageBox;
class QThread;
class TestToolWidget;

namespace tool
{
class AppSetting;
class TrdDeviceManage;
class TrdGetPrinterStatus;

constexpr const char *c_szAppIcon = ":/Icon/Resource/Ostrel.png";
constexpr const char *c_szFirmwareUpdater = "bin/ostrelZ907FW";  // below the install root
// The first wait for a worker's thread at tear-down; it is waited for beyond it.
constexpr unsigned long c_ulThreadQuitWaitMs = 1000;

enum enTableColumn
{
    COLUMN_NAME,
    COLUMN_CONNECTION,
    COLUMN_TONER,
    COLUMN_STATE,
    COLUMN_COUNT
};

// True when an argument after the program name is "-hide", in any letter case.
bool CheckIsHide(int argc, char **argv);
// The box a second start shows before it leaves.
QMessageBox *CreateRunningBox(int iLanguage);

class QuarnPrinterToolWidget : public QWidget
{
    Q_OBJECT
    friend class ::TestToolWidget;

public:
    explicit QuarnPrinterToolWidget(QWidget *parent = nullptr);
    ~QuarnPrinterToolWidget() override;

signals:
    void SgnManageThreadStart();
    void SgnStatusThreadStart();
    void SgnThreadQuit();

private slots:
    void SlotActivatedTrayIcon(QSystemTrayIcon::ActivationReason reason);
    void SlotTrayActionShow();
    void SlotTrayActionUpdateFW();
    void SlotTrayActionSetting();
    void SlotTrayActionExit();
    void SlotUpdatePrinterStatus(int index);
    void SlotUpdatePrinterList();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *) override;

private:
    void InitLog();
    void InitConfig();
    void InitLanguage();
    void InitDeviceTable();
    void InitTrayIcon();
    void InitThread();
    void WatchCfgDir();
    void CreateStatusReaders(int iCount);
    void StopThread(QThread *pThread);
    void DebugOutputPrinterInfo();
    void DebugOutputPrinterStatus(int index);
    void CleanTempFile();

    Ui::QuarnPrinterToolWidget *ui;
    QSystemTrayIcon *m_pTrayIcon = nullptr;
    QMenu *m_pTrayMenu = nullptr;
    QAction *m_pActionShow = nullptr;
    QAction *m_pActionUpdateFW = nullptr;
    QAction *m_pActionSetting = nullptr;
    QAction *m_pActionExit = nullptr;
    QList<TrdGetPrinterStatus *> m_listStatusTask;
    QList<QThread *> m_listStatusThread;
    TrdDeviceManage *m_pDeviceManage = nullptr;
    QThread *m_pManageThread = nullptr;
    AppSetting *m_pAppSetting = nullptr;
    SharedPrinterList m_listPrinter;
    int m_iTaskCount = 0;
    int m_iLanguage = 0;
    // Wakes the status readers when the service replaces a file in cfg/.
    QFileSystemWatcher *m_pCfgWatcher = nullptr;
};
}  // namespace tool
