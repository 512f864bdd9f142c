// The window, its table and menu, the settings window and the start-up box, in
// process on the offscreen platform with real readers on real files.
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

#include "ToolTestSupport.h"
#include "tool/AppSetting.h"
#include "tool/QuarnPrinterToolWidget.h"
#include "tool/TrdGetPrinterStatus.h"
#include "tool/UtilDesktopLocale.h"
#include "tool/UtilLanguageCtrl.h"

using namespace tool;

namespace
{
constexpr int c_iWaitMs = 15000;  // generous: sanitizer builds on a busy machine
constexpr std::uint16_t c_usFrontCover = 0x1106;
constexpr std::uint16_t c_usTonerLow = 0x110D;
constexpr int c_iRawPrinting = 16;
constexpr int c_iKQRawReady = 1;
}  // namespace

class TestToolWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowAndTableSetUp();
    void englishDesktopTextsFit();
    void trayMenuAndActivation();
    void rowsFollowTheFiles();
    void oneReaderPerIndex();
    void statusForAMissingRowIsDropped();
    void firmwareUpdaterStartsDetached();
    void hideArgument_data();
    void hideArgument();
    void runningBox();
    void settingsWindow();
    void settingsAutoStart();
    // Last: the exit entry ends the application's event loops for good.
    void exitStopsEveryWorkerPromptly();

private:
    QString Cell(int iRow, int iColumn);
    bool WaitCell(int iRow, int iColumn, const QString &strText);
    QTableWidget *Table() { return m_pWidget->findChild<QTableWidget *>("tableDeviceManage"); }
    QString Cfg(const QString &strFile = {}) { return m_root.path() + "/cfg/" + strFile; }

    QTemporaryDir m_root;
    QTemporaryDir m_autostart;
    std::unique_ptr<QuarnPrinterToolWidget> m_pWidget;
};

void TestToolWidget::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(m_autostart.isValid());
    qputenv("OSTREL_PREFIX", m_root.path().toLocal8Bit());
    qputenv("OSTREL_AUTOSTART_DIR", (m_autostart.path() + "/entries/autostart").toLocal8Bit());
}

void TestToolWidget::init()
{
    QDir(Cfg()).removeRecursively();
    QVERIFY(QDir().mkpath(Cfg()));
    m_pWidget = std::make_unique<QuarnPrinterToolWidget>();
}

void TestToolWidget::cleanup()
{
    m_pWidget.reset();
}

QString TestToolWidget::Cell(int iRow, int iColumn)
{
    QTableWidgetItem *pItem = Table()->item(iRow, iColumn);
    return pItem ? pItem->text() : QString();
}

bool TestToolWidget::WaitCell(int iRow, int iColumn, const QString &strText)
{
    return QTest::qWaitFor([&] { return Cell(iRow, iColumn) == strText; }, c_iWaitMs);
}

void TestToolWidget::windowAndTableSetUp()
{
    QuarnPrinterToolWidget &w = *m_pWidget;
    QCOMPARE(w.objectName(), QString("QuarnPrinterToolWidget"));
    QCOMPARE(w.windowTitle(), QString::fromUtf8("Ostrel激光打印助手"));
    // The offscreen desktop is 800 pixels wide: no scaling, fixed size, centred.
    QCOMPARE(w.size(), QSize(600, 300));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(w.pos(), QPoint(100, 150));
    QVERIFY(!w.windowIcon().isNull());

    QTableWidget *table = Table();
    QVERIFY(table);
    QCOMPARE(table->geometry(), QRect(20, 20, 560, 260));
    QCOMPARE(table->font().pointSize(), 9);
    QCOMPARE(table->columnCount(), 4);
    QCOMPARE(table->rowCount(), 0);
    const char *const c_szHeader[] = {"打印机名称", "连接方式", "剩余碳粉量", "状态"};
    const int c_iWidth[] = {120, 150, 85, 185};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(table->horizontalHeaderItem(i)->text(), QString::fromUtf8(c_szHeader[i]));
        if (i < 3)
            QCOMPARE(table->columnWidth(i), c_iWidth[i]);
    }
    QVERIFY(table->horizontalHeader()->stretchLastSection());
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
}

// On an English desktop every text of the window, menu and settings window is
// English, and each fits the place the Chinese text was sized for.
void TestToolWidget::englishDesktopTextsFit()
{
    m_pWidget.reset();
    qputenv("LANG", "en_US.UTF-8");
    const auto restore = qScopeGuard([] { qputenv("LANG", "zh_CN.UTF-8"); });
    QuarnPrinterToolWidget w;
    QCOMPARE(w.windowTitle(), QString("Ostrel Laser Printer Assistant"));
    QCOMPARE(w.m_pTrayIcon->toolTip(), QString("Ostrel Laser Printer Assistant"));
    QStringList listText;
    for (QAction *pAction : w.m_pTrayIcon->contextMenu()->actions())
        listText.append(pAction->text());
    QCOMPARE(listText, QStringList({"Show window", "Printer update assistant", "Settings", "Exit"}));

    QTableWidget *table = w.findChild<QTableWidget *>("tableDeviceManage");
    QVERIFY(table);
    const QStringList listHeader = {"Printer name", "Connection", "Toner left", "Status"};
    const QFontMetrics metricsHeader(table->horizontalHeader()->font());
    for (int i = 0; i < listHeader.size(); ++i) {
        QCOMPARE(table->horizontalHeaderItem(i)->text(), listHeader.at(i));
        QVERIFY2(metricsHeader.horizontalAdvance(listHeader.at(i)) < table->columnWidth(i),
                 qPrintable(listHeader.at(i)));
    }

    const AppSetting &setting = *w.m_pAppSetting;
    QCOMPARE(setting.windowTitle(), QString("Settings"));
    for (const char *szName : {"checkBoxAutoStart", "pushButtonOK", "pushButtonCancel"}) {
        const auto *pButton = setting.findChild<QAbstractButton *>(szName);
        QVERIFY(pButton);
        QVERIFY2(pButton->sizeHint().width() <= pButton->width(), szName);
    }
    QCOMPARE(setting.findChild<QAbstractButton *>("checkBoxAutoStart")->text(), QString("Start at log-in"));

    std::unique_ptr<QMessageBox> pBox(CreateRunningBox(DesktopLanguage()));
    QCOMPARE(pBox->text(), QString("Ostrel Laser Printer Assistant is already running!"));
    QCOMPARE(pBox->buttons().first()->text(), QString("OK"));
}

void TestToolWidget::trayMenuAndActivation()
{
    QuarnPrinterToolWidget &w = *m_pWidget;
    QVERIFY(w.m_pTrayIcon->isVisible());
    QCOMPARE(w.m_pTrayIcon->toolTip(), QString::fromUtf8("Ostrel激光打印助手"));
    QStringList listText;
    for (QAction *pAction : w.m_pTrayIcon->contextMenu()->actions())
        listText.append(pAction->text());
    QCOMPARE(listText, QStringList({"显示主界面", "打印机更新助手", "设置", "退出"}));

    w.show();
    QVERIFY(!w.close());  // closing only hides
    QVERIFY(w.isHidden());
    for (auto reason : {QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Context,
                        QSystemTrayIcon::Unknown}) {
        emit w.m_pTrayIcon->activated(reason);
        QVERIFY(w.isHidden());
    }
    emit w.m_pTrayIcon->activated(QSystemTrayIcon::Trigger);
    QVERIFY(w.isVisible());
    w.hide();
    w.m_pActionShow->trigger();
    QVERIFY(w.isVisible());
    w.m_pActionSetting->trigger();
    QVERIFY(w.m_pAppSetting->isVisible());
}

void TestToolWidget::rowsFollowTheFiles()
{
    QVERIFY(WritePrinterList(Cfg(), {ToolPrinter("Lab", c_szModelStandard, CONNECT_USB, "OSTREL/VX3010?serial=1"),
                                     ToolPrinter("Office", c_szModelKQ, CONNECT_NETWORK, "127.0.0.2")}));
    QVERIFY(QTest::qWaitFor([&] { return Table()->rowCount() == 2; }, c_iWaitMs));
    const QStringList listRow0 = {"Lab", "USB", "0.00%", QString::fromUtf8("脱机")};
    const QStringList listRow1 = {"Office", QString::fromUtf8("网络(127.0.0.2)"), "0.00%", QString::fromUtf8("脱机")};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(Cell(0, i), listRow0.at(i));
        QCOMPARE(Cell(1, i), listRow1.at(i));
    }

    QVERIFY(ReplaceFile(Cfg("Lab.dat"), StandardStatus(c_iRawPrinting, {}, {c_usTonerLow}, 3750)));
    QVERIFY(ReplaceFile(Cfg("Office.dat"), KQStatus(c_iKQRawReady, {c_usFrontCover, c_usTonerLow}, {}, 37)));
    QVERIFY(WaitCell(0, 3, QString::fromUtf8("正在打印(碳粉不足)")));
    QCOMPARE(Cell(0, 2), QString("37.50%"));
    QVERIFY(WaitCell(1, 3, QString::fromUtf8("前盖已打开")));
    QCOMPARE(Cell(1, 2), QString("37.00%"));

    // The warning clears: back to the state text.
    QVERIFY(ReplaceFile(Cfg("Lab.dat"), StandardStatus(c_iRawPrinting, {}, {}, 3700)));
    QVERIFY(WaitCell(0, 3, QString::fromUtf8("正在打印")));
    QCOMPARE(Cell(0, 2), QString("37.00%"));
}

void TestToolWidget::oneReaderPerIndex()
{
    QuarnPrinterToolWidget &w = *m_pWidget;
    const stPrinterInfo a = ToolPrinter("A", c_szModelStandard, CONNECT_USB, "a");
    const stPrinterInfo b = ToolPrinter("B", c_szModelStandard, CONNECT_USB, "b");
    const stPrinterInfo c = ToolPrinter("C", c_szModelStandard, CONNECT_USB, "c");
    const auto Rows = [&](int n) { return QTest::qWaitFor([&] { return Table()->rowCount() == n; }, c_iWaitMs); };
    QVERIFY(WritePrinterList(Cfg(), {a, b}));
    QVERIFY(Rows(2));
    QCOMPARE(w.m_listStatusTask.size(), 2);
    QVERIFY(WritePrinterList(Cfg(), {c}));
    QVERIFY(Rows(1));
    QCOMPARE(Cell(0, 0), QString("C"));
    QVERIFY(WritePrinterList(Cfg(), {a, b, c}));
    QVERIFY(Rows(3));
    QCOMPARE(w.m_listStatusTask.size(), 3);
    QCOMPARE(w.m_listStatusThread.size(), 3);

    // The reader of index 1 still works after the list shrank under it.
    QVERIFY(ReplaceFile(Cfg("B.dat"), StandardStatus(c_iRawPrinting, {}, {}, 9900)));
    QVERIFY(WaitCell(1, 2, "99.00%"));
}

void TestToolWidget::statusForAMissingRowIsDropped()
{
    QuarnPrinterToolWidget &w = *m_pWidget;
    w.SlotUpdatePrinterStatus(0);
    w.SlotUpdatePrinterStatus(-1);
    w.SlotUpdatePrinterStatus(7);
    QCOMPARE(Table()->rowCount(), 0);
}

void TestToolWidget::firmwareUpdaterStartsDetached()
{
    QVERIFY(QDir().mkpath(m_root.path() + "/bin"));
    const QString strUpdater = m_root.path() + "/bin/ostrelZ907FW";
    const QString strMark = m_root.path() + "/updater-ran";
    QVERIFY(ReplaceFile(strUpdater, "#!/bin/sh\necho \"$#\" > \"$OSTREL_PREFIX/updater-ran\"\n"));
    QVERIFY(QFile::setPermissions(strUpdater, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_pWidget->m_pActionUpdateFW->trigger();
    QVERIFY(QTest::qWaitFor([&] { return QFile(strMark).size() > 0; }, c_iWaitMs));
    QFile mark(strMark);
    QVERIFY(mark.open(QIODevice::ReadOnly));
    QCOMPARE(mark.readAll(), QByteArray("0\n"));  // no arguments
    QFile::remove(strUpdater);
    m_pWidget->m_pActionUpdateFW->trigger();  // a missing updater changes nothing
    QVERIFY(m_pWidget->m_pTrayIcon->isVisible());
}

void TestToolWidget::exitStopsEveryWorkerPromptly()
{
    QList<stPrinterInfo> listInfo;
    for (int i = 0; i < 8; ++i)
        listInfo.append(ToolPrinter(QString("P%1").arg(i), c_szModelStandard, CONNECT_USB, QString::number(i)));
    QVERIFY(WritePrinterList(Cfg(), listInfo));
    QVERIFY(QTest::qWaitFor([&] { return Table()->rowCount() == 8; }, c_iWaitMs));
    m_pWidget->show();
    QElapsedTimer timer;
    timer.start();
    m_pWidget->m_pActionExit->trigger();
    QVERIFY(m_pWidget->isHidden());
    QVERIFY(!m_pWidget->m_pTrayIcon->isVisible());
    // Tear-down waits for every worker's thread before it deletes the worker.
    m_pWidget.reset();
    // A sleep slice is 500 ms; the bound leaves a loaded machine ample room.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

void TestToolWidget::hideArgument_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("none") << QStringList{} << false;
    QTest::newRow("lower") << QStringList{"-hide"} << true;
    QTest::newRow("upper") << QStringList{"-HIDE"} << true;
    QTest::newRow("mixed, second") << QStringList{"x", "-HiDe"} << true;
    QTest::newRow("two dashes") << QStringList{"--hide"} << false;
    QTest::newRow("no dash") << QStringList{"hide"} << false;
}

void TestToolWidget::hideArgument()
{
    QFETCH(QStringList, args);
    QFETCH(bool, hidden);
    QList<QByteArray> listBytes = {"printtool"};
    for (const QString &s : args)
        listBytes.append(s.toLocal8Bit());
    QVector<char *> argv;
    for (QByteArray &ba : listBytes)
        argv.append(ba.data());
    QCOMPARE(CheckIsHide(argv.size(), argv.data()), hidden);
}

void TestToolWidget::runningBox()
{
    std::unique_ptr<QMessageBox> pBox(CreateRunningBox(c_iLanguageChinese));
    QCOMPARE(pBox->windowTitle(), QString::fromUtf8("Ostrel激光打印助手"));
    QCOMPARE(pBox->text(), QString::fromUtf8("Ostrel激光打印助手已经处于运行中！"));
    QCOMPARE(pBox->icon(), QMessageBox::Information);
    QCOMPARE(pBox->buttons().size(), 1);
    QCOMPARE(pBox->buttons().first()->text(), QString::fromUtf8("确  定"));
    QVERIFY(!pBox->parent());
}

void TestToolWidget::settingsWindow()
{
    AppSetting setting(c_iLanguageChinese);
    QCOMPARE(setting.objectName(), QString("AppSetting"));
    QCOMPARE(setting.windowTitle(), QString::fromUtf8("设置"));
    QCOMPARE(setting.size(), QSize(400, 300));
    QVERIFY(!(setting.windowFlags() & Qt::WindowMaximizeButtonHint));
    const auto *pBox = setting.findChild<QCheckBox *>("checkBoxAutoStart");
    const auto *pOK = setting.findChild<QPushButton *>("pushButtonOK");
    const auto *pCancel = setting.findChild<QPushButton *>("pushButtonCancel");
    QVERIFY(pBox && pOK && pCancel);
    QCOMPARE(pBox->text(), QString::fromUtf8("开机启动"));
    QCOMPARE(pOK->text(), QString::fromUtf8("确定"));
    QCOMPARE(pCancel->text(), QString::fromUtf8("取消"));
    QCOMPARE(pBox->geometry(), QRect(70, 60, 200, 25));
    QCOMPARE(pOK->geometry(), QRect(70, 250, 80, 25));
    QCOMPARE(pCancel->geometry(), QRect(250, 250, 80, 25));
}

void TestToolWidget::settingsAutoStart()
{
    m_pWidget.reset();
    const QString strInstalled = AppSetting::InstalledEntryPath();
    const QString strEntry = AppSetting::AutoStartEntryPath();
    QVERIFY(strEntry.startsWith(m_autostart.path()));
    QVERIFY(ReplaceFile(strInstalled, "[Desktop Entry]\nName=installed\n"));

    AppSetting setting(c_iLanguageChinese);
    auto *pBox = setting.findChild<QCheckBox *>("checkBoxAutoStart");
    auto *pOK = setting.findChild<QPushButton *>("pushButtonOK");
    auto *pCancel = setting.findChild<QPushButton *>("pushButtonCancel");
    QVERIFY(!pBox->isChecked());

    // Ticked, then cancelled or closed: nothing is written and the tick goes.
    setting.show();
    pBox->setChecked(true);
    QTest::mouseClick(pCancel, Qt::LeftButton);
    QVERIFY(setting.isHidden());
    QVERIFY(!pBox->isChecked());
    setting.show();
    pBox->setChecked(true);
    QVERIFY(!setting.close());
    QVERIFY(setting.isHidden());
    QVERIFY(!pBox->isChecked());
    QVERIFY(!QFile::exists(strEntry));

    // Confirmed: the directory and the entry appear.
    setting.show();
    pBox->setChecked(true);
    QTest::mouseClick(pOK, Qt::LeftButton);
    QVERIFY(setting.isHidden());
    QVERIFY(pBox->isChecked());
    QVERIFY(QFile::exists(strEntry));

    // An entry already there is never overwritten.
    QVERIFY(ReplaceFile(strEntry, "mine"));
    setting.show();
    QTest::mouseClick(pOK, Qt::LeftButton);
    QVERIFY(pBox->isChecked());
    QFile entry(strEntry);
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QCOMPARE(entry.readAll(), QByteArray("mine"));

    // Cleared and confirmed: the entry goes.
    pBox->setChecked(false);
    QTest::mouseClick(pOK, Qt::LeftButton);
    QVERIFY(!QFile::exists(strEntry));
    QVERIFY(!pBox->isChecked());

    // Without the installed entry the tick does not stick.
    QVERIFY(QFile::remove(strInstalled));
    pBox->setChecked(true);
    QTest::mouseClick(pOK, Qt::LeftButton);
    QVERIFY(!pBox->isChecked());
    QVERIFY(!QFile::exists(strEntry));
}

QTEST_MAIN(TestToolWidget)
#include "test_tool_widget.moc"
