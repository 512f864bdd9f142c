#include "QuarnPrinterToolWidget.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include "AppSetting.h"
#include "TrdDeviceManage.h"
#include "TrdGetPrinterStatus.h"
#include "UtilDesktopLocale.h"
#include "UtilLanguageCtrl.h"
#include "UtilLog.h"
#include "UtilPaths.h"
#include "UtilPrinterText.h"
#include "ui_QuarnPrinterToolWidget.h"

// The icon lives in a static library, whose resource initialiser no linker keeps on its
// own; the initialiser is a global symbol, so it is called from outside any namespace.
static void InitResource()
{
    Q_INIT_RESOURCE(Resource);
}

namespace tool
{
namespace
{
constexpr int c_iColumnWidth[COLUMN_COUNT] = {120, 150, 85, 185};
constexpr enToolText c_enColumnHeader[COLUMN_COUNT] = {TEXT_HEADER_NAME, TEXT_HEADER_CONNECTION, TEXT_HEADER_TONER,
                                                       TEXT_HEADER_STATE};

QRect DesktopRect()
{
    return QGuiApplication::primaryScreen()->virtualGeometry();
}

QString JoinCodes(const QList<enErrorStatus> &listCode)
{
    QStringList list;
    for (enErrorStatus enCode : listCode)
        list.append(QString::number(int(enCode)));
    return list.join(',');
}

void SetCell(QTableWidget *table, int iRow, int iColumn, const QString &strText)
{
    table->setItem(iRow, iColumn, new QTableWidgetItem(strText));
}
}  // namespace

bool CheckIsHide(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (QString::fromLocal8Bit(argv[i]).compare("-hide", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QMessageBox *CreateRunningBox(int iLanguage)
{
    const QString strTitle = ToolText(TEXT_APP_TITLE, iLanguage);
    auto *pBox = new QMessageBox(QMessageBox::Information, strTitle, strTitle + ToolText(TEXT_RUNNING_SUFFIX, iLanguage),
                                 QMessageBox::Ok, nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    pBox->button(QMessageBox::Ok)->setText(ToolText(TEXT_RUNNING_BUTTON, iLanguage));
    return pBox;
}

QuarnPrinterToolWidget::QuarnPrinterToolWidget(QWidget *parent)
    : QWidget(parent), ui(new Ui::QuarnPrinterToolWidget)
{
    InitResource();
    InitLanguage();
    ui->setupUi(this);
    setWindowIcon(QIcon(c_szAppIcon));
    const QRect rectDesktop = DesktopRect();
    if (rectDesktop.width() > c_iBaseDesktopWidth) {
        const float fScale = DesktopScale(rectDesktop.width());
        resize(ScaledLength(width(), fScale), ScaledLength(height(), fScale));
    }
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    setWindowTitle(ToolText(TEXT_APP_TITLE, m_iLanguage));
    move((rectDesktop.width() - width()) / 2, (rectDesktop.height() - height()) / 2);
    m_pAppSetting = new AppSetting(m_iLanguage);
    m_iTaskCount = 0;

    InitLog();
    InitConfig();
    InitDeviceTable();
    InitTrayIcon();
    InitThread();
}

QuarnPrinterToolWidget::~QuarnPrinterToolWidget()
{
    // Also when the widget goes without the exit entry: no worker may outlive it.
    emit SgnThreadQuit();
    StopThread(m_pManageThread);
    delete m_pDeviceManage;
    for (int i = 0; i < m_listStatusThread.size(); ++i) {
        StopThread(m_listStatusThread.at(i));
        delete m_listStatusTask.at(i);
    }
    delete ui;
    delete m_pAppSetting;
    CleanTempFile();
}

// The worker leaves its loop on the quit flag; its object is deleted only after
// the thread has finished, however long that takes past the first wait.
void QuarnPrinterToolWidget::StopThread(QThread *pThread)
{
    pThread->quit();
    if (!pThread->wait(c_ulThreadQuitWaitMs)) {
        LOG_WRITE("worker thread still running after %lu ms", c_ulThreadQuitWaitMs);
        pThread->wait();
    }
    delete pThread;
}

void QuarnPrinterToolWidget::InitLog()
{
    // Off by default, as the tool runs on every user's desktop; OSTREL_LOG=1 turns it on.
    SetLogEnable(qEnvironmentVariableIntValue("OSTREL_LOG") > 0);
    const QRect rectDesktop = DesktopRect();
    LOG_WRITE("desktop = %d, %d", rectDesktop.width(), rectDesktop.height());
}

void QuarnPrinterToolWidget::InitConfig() {}

void QuarnPrinterToolWidget::InitLanguage()
{
    m_iLanguage = DesktopLanguage();
}

void QuarnPrinterToolWidget::InitDeviceTable()
{
    LOG_WRITE("InitDeviceTable start");
    QTableWidget *table = ui->tableDeviceManage;
    table->setColumnCount(COLUMN_COUNT);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    QStringList listHeader;
    for (enToolText enHeader : c_enColumnHeader)
        listHeader.append(ToolText(enHeader, m_iLanguage));
    table->setHorizontalHeaderLabels(listHeader);
    table->resizeRowsToContents();
    const QRect rectDesktop = DesktopRect();
    const float fScale = DesktopScale(rectDesktop.width());
    if (rectDesktop.width() > c_iBaseDesktopWidth) {
        table->resize(ScaledLength(table->width(), fScale), ScaledLength(table->height(), fScale));
        table->move(ScaledLength(table->x(), fScale), ScaledLength(table->y(), fScale));
    }
    for (int i = 0; i < COLUMN_COUNT; ++i)
        table->setColumnWidth(i, ScaledLength(c_iColumnWidth[i], fScale));
    LOG_WRITE("InitDeviceTable end");
}

void QuarnPrinterToolWidget::InitTrayIcon()
{
    LOG_WRITE("InitTrayIcon start");
    m_pTrayIcon = new QSystemTrayIcon(this);
    m_pTrayIcon->setIcon(QIcon(c_szAppIcon));
    m_pTrayIcon->setToolTip(ToolText(TEXT_APP_TITLE, m_iLanguage));
    connect(m_pTrayIcon, &QSystemTrayIcon::activated, this, &QuarnPrinterToolWidget::SlotActivatedTrayIcon);

    m_pActionShow = new QAction(ToolText(TEXT_MENU_SHOW, m_iLanguage), this);
    m_pActionUpdateFW = new QAction(ToolText(TEXT_MENU_UPDATE_FW, m_iLanguage), this);
    m_pActionSetting = new QAction(ToolText(TEXT_SETTINGS, m_iLanguage), this);
    m_pActionExit = new QAction(ToolText(TEXT_MENU_EXIT, m_iLanguage), this);
    connect(m_pActionShow, &QAction::triggered, this, &QuarnPrinterToolWidget::SlotTrayActionShow);
    connect(m_pActionUpdateFW, &QAction::triggered, this, &QuarnPrinterToolWidget::SlotTrayActionUpdateFW);
    connect(m_pActionSetting, &QAction::triggered, this, &QuarnPrinterToolWidget::SlotTrayActionSetting);
    connect(m_pActionExit, &QAction::triggered, this, &QuarnPrinterToolWidget::SlotTrayActionExit);

    m_pTrayMenu = new QMenu(this);
    m_pTrayMenu->addAction(m_pActionShow);
    m_pTrayMenu->addAction(m_pActionUpdateFW);
    m_pTrayMenu->addAction(m_pActionSetting);
    m_pTrayMenu->addAction(m_pActionExit);
    m_pTrayIcon->setContextMenu(m_pTrayMenu);
    m_pTrayIcon->setVisible(true);
    LOG_WRITE("InitTrayIcon end");
}

void QuarnPrinterToolWidget::InitThread()
{
    LOG_WRITE("InitThread start");
    m_pCfgWatcher = new QFileSystemWatcher(this);
    WatchCfgDir();
    m_pDeviceManage = new TrdDeviceManage;
    m_pManageThread = new QThread;
    m_pDeviceManage->moveToThread(m_pManageThread);
    m_pManageThread->start(QThread::InheritPriority);
    m_pDeviceManage->Init(&m_listPrinter);
    connect(this, &QuarnPrinterToolWidget::SgnManageThreadStart, m_pDeviceManage, &TrdDeviceManage::SlotTaskStart);
    // The loop never returns to its thread's event loop while it runs: the flag is set from here.
    connect(this, &QuarnPrinterToolWidget::SgnThreadQuit, m_pDeviceManage, &TrdDeviceManage::SlotThreadQuit,
            Qt::DirectConnection);
    connect(m_pDeviceManage, &TrdDeviceManage::SgnUpdatePrinterList, this, &QuarnPrinterToolWidget::SlotUpdatePrinterList);
    emit SgnManageThreadStart();
    LOG_WRITE("InitThread end");
}

// The service replaces status files by rename, which would drop a watch on the
// file itself; the directory's watch survives. A directory that is not there yet
// is watched once a printer list has appeared in it.
void QuarnPrinterToolWidget::WatchCfgDir()
{
    const QString strDir = QDir::cleanPath(UtilPaths::CfgDir());
    if (m_pCfgWatcher->directories().contains(strDir) || !QDir(strDir).exists())
        return;
    m_pCfgWatcher->addPath(strDir);
}

void QuarnPrinterToolWidget::SlotActivatedTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        SlotTrayActionShow();
}

void QuarnPrinterToolWidget::SlotTrayActionShow()
{
    if (isActiveWindow())
        return;
    showNormal();
}

void QuarnPrinterToolWidget::SlotTrayActionUpdateFW()
{
    QProcess::startDetached(UtilPaths::InstallRoot() + "/" + c_szFirmwareUpdater, {});
}

void QuarnPrinterToolWidget::SlotTrayActionSetting()
{
    m_pAppSetting->show();
}

void QuarnPrinterToolWidget::SlotTrayActionExit()
{
    m_pAppSetting->close();
    hide();
    m_pTrayIcon->hide();
    emit SgnThreadQuit();
    QCoreApplication::quit();
}

void QuarnPrinterToolWidget::closeEvent(QCloseEvent *event)
{
    hide();
    event->ignore();
}

void QuarnPrinterToolWidget::changeEvent(QEvent *) {}

void QuarnPrinterToolWidget::SlotUpdatePrinterList()
{
    const QList<stPrinterManager> list = m_listPrinter.With([](const QList<stPrinterManager> &l) { return l; });
    const int n = list.size();
    QTableWidget *table = ui->tableDeviceManage;
    table->clearContents();
    table->setRowCount(n);
    const QString strOffline = StatusText(STATUS_OFFLINE, m_iLanguage);
    for (int i = 0; i < n; ++i) {
        const stPrinterInfo &info = list.at(i).stInfo;
        SetCell(table, i, COLUMN_NAME, info.strPrinterName);
        SetCell(table, i, COLUMN_CONNECTION, ConnectionText(info, m_iLanguage));
        SetCell(table, i, COLUMN_TONER, "0.00%");
        SetCell(table, i, COLUMN_STATE, strOffline);
    }
    WatchCfgDir();
    CreateStatusReaders(n);
    DebugOutputPrinterInfo();
}

// One reader per index for the whole run: a list that shrank and grows again
// finds its readers still there, idle, and they resume.
void QuarnPrinterToolWidget::CreateStatusReaders(int iCount)
{
    if (iCount <= m_iTaskCount)
        return;
    for (int i = m_iTaskCount; i < iCount; ++i) {
        auto *pTask = new TrdGetPrinterStatus;
        auto *pThread = new QThread;
        pTask->moveToThread(pThread);
        pThread->start(QThread::InheritPriority);
        pTask->Init(i, &m_listPrinter);
        connect(this, &QuarnPrinterToolWidget::SgnStatusThreadStart, pTask, &TrdGetPrinterStatus::SlotTaskStart);
        connect(this, &QuarnPrinterToolWidget::SgnThreadQuit, pTask, &TrdGetPrinterStatus::SlotThreadQuit,
                Qt::DirectConnection);
        connect(m_pCfgWatcher, &QFileSystemWatcher::directoryChanged, pTask, &TrdGetPrinterStatus::SlotWake,
                Qt::DirectConnection);
        connect(pTask, &TrdGetPrinterStatus::SgnUpdatePrinterStatus, this,
                &QuarnPrinterToolWidget::SlotUpdatePrinterStatus);
        m_listStatusTask.append(pTask);
        m_listStatusThread.append(pThread);
    }
    m_iTaskCount = iCount;
    emit SgnStatusThreadStart();
}

void QuarnPrinterToolWidget::SlotUpdatePrinterStatus(int index)
{
    stPrinterManager printer;
    QTableWidget *table = ui->tableDeviceManage;
    if (index >= table->rowCount() || !m_listPrinter.CopyOut(index, printer))
        return;
    SetCell(table, index, COLUMN_TONER, TonerText(printer));
    const stNotice notice = NoticeFor(printer, m_iLanguage);
    if (notice.enKind == NOTICE_CRITICAL)
        m_pTrayIcon->showMessage(notice.strTitle, notice.strMessage, QSystemTrayIcon::Critical, c_iNoticeMs);
    else if (notice.enKind == NOTICE_WARNING)
        m_pTrayIcon->showMessage(notice.strTitle, notice.strMessage, QSystemTrayIcon::Warning, c_iNoticeMs);
    else
        m_pTrayIcon->setIcon(QIcon(c_szAppIcon));
    SetCell(table, index, COLUMN_STATE, StateCellText(printer.stState, m_iLanguage));
    DebugOutputPrinterStatus(index);
}

void QuarnPrinterToolWidget::DebugOutputPrinterInfo()
{
    const QList<stPrinterManager> list = m_listPrinter.With([](const QList<stPrinterManager> &l) { return l; });
    LOG_WRITE("printer number=%d", list.size());
    for (int i = 0; i < list.size(); ++i) {
        const stPrinterInfo &info = list.at(i).stInfo;
        const QByteArray baName = info.strPrinterName.toUtf8();
        LOG_WRITE("printer[%d] %s=%s", i, baName.constData(), info.strPort.toUtf8().constData());
        LOG_WRITE("%s: enType=%s", baName.constData(), info.enType.toUtf8().constData());
        LOG_WRITE("%s: iConnectType=%d", baName.constData(), info.iConnectType);
    }
}

void QuarnPrinterToolWidget::DebugOutputPrinterStatus(int index)
{
    stPrinterManager printer;
    if (!m_listPrinter.CopyOut(index, printer))
        return;
    const stPrinterState &st = printer.stState;
    const QByteArray baName = printer.stInfo.strPrinterName.toUtf8();
    const char *n = baName.constData();
    LOG_WRITE("printer[%d]=%s", index, n);
    LOG_WRITE("%s: strPrinterSerialNumber=%s", n, st.strPrinterSerialNumber.toUtf8().constData());
    LOG_WRITE("%s: enCurrentStatus=%d", n, int(st.enCurrentStatus));
    LOG_WRITE("%s: strFWVersion=%s", n, st.strFWVersion.toUtf8().constData());
    LOG_WRITE("%s: strVenderName=%s", n, st.strVenderName.toUtf8().constData());
    LOG_WRITE("%s: strProductName=%s", n, st.strProductName.toUtf8().constData());
    LOG_WRITE("%s: iNumberOfError=%d", n, st.listError.size());
    LOG_WRITE("%s: iNumberOfWarning=%d", n, st.listWarning.size());
    LOG_WRITE("%s: error code=%s", n, JoinCodes(st.listError).toUtf8().constData());
    LOG_WRITE("%s: warning code=%s", n, JoinCodes(st.listWarning).toUtf8().constData());
    LOG_WRITE("%s: strSupplySerialNumber=%s", n, st.strSupplySerialNumber.toUtf8().constData());
    LOG_WRITE("%s: enSpplyType=%d", n, st.enSpplyType);
    LOG_WRITE("%s: dwRemainingToner=%lu", n, st.dwRemainingToner);
    LOG_WRITE("%s: dwWasteToner=%lu", n, st.dwWasteToner);
    LOG_WRITE("%s: dwOPCRotation=%lu", n, st.dwOPCRotation);
    LOG_WRITE("%s: dwNumberOfPages=%lu", n, st.dwNumberOfPages);
    LOG_WRITE("%s: dwNumberOfPrint=%lu", n, st.dwNumberOfPrint);
    LOG_WRITE("%s: dwPrintDotsCount=%lu", n, st.dwPrintDotsCount);
    LOG_WRITE("%s: dwPrinterNumOfPages=%lu", n, st.dwPrinterNumOfPages);
    LOG_WRITE("%s: dwPrinterNumOfPrint=%lu", n, st.dwPrinterNumOfPrint);
}

void QuarnPrinterToolWidget::CleanTempFile() {}
}  // namespace tool
