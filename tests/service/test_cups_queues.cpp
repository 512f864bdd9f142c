#include <gtest/gtest.h>

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QThread>

#include <sys/stat.h>

#include "TestSupport.h"
#include "UtilCfgFiles.h"
#include "service/CupsQueues.h"
#include "service/TrdDeviceManage.h"

using namespace service;

namespace
{
QList<stPrinterInfo> Parse(const QByteArray &baConf, const CupsQueues::DriverMatch &match = nullptr)
{
    QByteArray ba = baConf;
    QBuffer buffer(&ba);
    buffer.open(QIODevice::ReadOnly);
    return CupsQueues::ParsePrintersConf(buffer, match);
}

bool ModelOf(const QByteArray &baPpd, QString &strModel)
{
    QByteArray ba = baPpd;
    QBuffer buffer(&ba);
    buffer.open(QIODevice::ReadOnly);
    return CupsQueues::ParsePpdModelName(buffer, strModel);
}

// CUPS_SERVERROOT pointing at a private directory for the duration of a test.
class CupsRoot
{
public:
    CupsRoot() { qputenv("CUPS_SERVERROOT", m_dir.path().toLocal8Bit()); }
    ~CupsRoot() { qunsetenv("CUPS_SERVERROOT"); }
    void Write(const QString &strFile, const QByteArray &ba) const
    {
        QDir().mkpath(QFileInfo(m_dir.path() + "/" + strFile).path());
        WriteWholeFile(m_dir.path() + "/" + strFile, ba);
    }

private:
    QTemporaryDir m_dir;
};
}  // namespace

TEST(PrintersConf, QueuesUriKindsAndPorts)
{
    const QList<stPrinterInfo> list = Parse(
        "# comment\n"
        "<DefaultPrinter Office>\n"
        "  DeviceURI usb://Ostrel/VX3310%20Pro?serial=ABC  \n"
        "</DefaultPrinter>\n"
        "<Printer Net>\nDeviceURI socket://192.168.1.20:9100\n</Printer>\n"
        "<printer NoPort>\ndeviceuri socket://10.0.0.5\n</printer>\n"
        "<Printer Brand>\nDeviceURI ostrelsocket://127.0.0.7:9100/x\n</Printer>\n"
        "<Printer Ipp>\nDeviceURI ipp://host/printers/x\n</Printer>\n"
        "<Printer NoScheme>\nDeviceURI socket:host\n</Printer>\n"
        "<Printer NoUri>\nInfo x\n</Printer>\n"
        "<Printer>\nDeviceURI usb://x\n</Printer>\n");
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list[0].strPrinterName, "Office");
    EXPECT_EQ(list[0].iConnectType, CONNECT_USB);
    EXPECT_EQ(list[0].strPort, "Ostrel/VX3310%20Pro?serial=ABC");
    EXPECT_EQ(list[0].strDeviceURI, "usb://Ostrel/VX3310%20Pro?serial=ABC");
    EXPECT_EQ(list[1].iConnectType, CONNECT_NETWORK);
    EXPECT_EQ(list[1].strPort, "192.168.1.20");
    EXPECT_EQ(list[2].strPrinterName, "NoPort");
    EXPECT_EQ(list[2].strPort, "10.0.0.5");
    EXPECT_EQ(list[3].strPort, "127.0.0.7");
    for (const stPrinterInfo &info : list)
        EXPECT_TRUE(info.enType.isEmpty());
}

TEST(PrintersConf, HostileNamesAreTakenVerbatimAndDriverMatchDecides)
{
    const QList<stPrinterInfo> list = Parse(
        "<Printer q>1>\nDeviceURI socket://127.0.0.2\n</Printer>\n"
        "<Printer $(touch x);a|b`c`>\nDeviceURI socket://127.0.0.3\n</Printer>\n"
        "<Printer -dash>\nDeviceURI socket://127.0.0.4\n</Printer>\n"
        "<Printer Other>\nDeviceURI socket://127.0.0.5\n</Printer>\n",
        [](const QString &strQueue, QString &strModel) {
            if (strQueue == "Other")
                return false;
            strModel = "OSTREL VX1310";
            return true;
        });
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0].strPrinterName, "q>1");
    EXPECT_EQ(list[1].strPrinterName, "$(touch x);a|b`c`");
    EXPECT_EQ(list[2].strPrinterName, "-dash");
    EXPECT_EQ(list[2].enType, "OSTREL VX1310");
}

TEST(PrintersConf, MalformedAndOversizedInputNeverCrashes)
{
    QByteArray ba = "<Printer A>\nDeviceURI " + QByteArray(200000, 'u') + "\n</Printer>\n";
    ba += QByteArray(2, '\0') + "<Printer\n</Printer>\nDeviceURI\n<Printer B>\nDeviceURI usb://Ostrel/VX1310?serial=1\n";
    ba += "</Printer>";
    const QList<stPrinterInfo> list = Parse(ba);
    ASSERT_FALSE(list.isEmpty());
    EXPECT_EQ(list.last().strPrinterName, "B");
}

TEST(PpdModelName, QuotesCaseAndFirstCatalogueHit)
{
    QString strModel;
    EXPECT_TRUE(ModelOf("*PPD-Adobe: \"4.3\"\n*ModelName: \"OSTREL VX1310\"\n", strModel));
    EXPECT_EQ(strModel, "OSTREL VX1310");
    EXPECT_TRUE(ModelOf("*modelname:   \"ostrel vx3310 pro\"  \n", strModel));
    EXPECT_EQ(strModel, "ostrel vx3310 pro");
    EXPECT_TRUE(ModelOf("*ModelName: \"Other\"\n*ModelName: OSTREL VX1310\n", strModel));
    EXPECT_EQ(strModel, "OSTREL VX1310");
    strModel.clear();
    EXPECT_FALSE(ModelOf("*ModelName: \"OSTREL VX1310 Plus\"\n*ModelName:\n*NickName: \"OSTREL VX1310\"\n", strModel));
    EXPECT_TRUE(strModel.isEmpty());
    EXPECT_TRUE(ModelOf(QByteArray("*ModelName: \"OSTREL VX1310\"\0junk\n", 34), strModel));
}

TEST(DeviceManagerFiles, ReadsTheBackupWhenTheMainFileIsMissingAndMatchesPpds)
{
    CupsRoot root;
    root.Write("printers.conf.O", "<Printer Office>\nDeviceURI socket://127.0.0.2:9100\n</Printer>\n"
                                  "<Printer Plain>\nDeviceURI socket://127.0.0.3:9100\n</Printer>\n"
                                  "<Printer NoPpd>\nDeviceURI socket://127.0.0.4:9100\n</Printer>\n");
    root.Write("ppd/Office.ppd", "*ModelName: \"OSTREL VX3310 Pro\"\n");
    root.Write("ppd/Plain.ppd", "*ModelName: \"Plain Printer\"\n");
    const QList<stPrinterInfo> listChecked = TrdDeviceManage::GetPrinterInfo(true);
    ASSERT_EQ(listChecked.size(), 1);
    EXPECT_EQ(listChecked[0].enType, "OSTREL VX3310 Pro");
    EXPECT_EQ(TrdDeviceManage::GetPrinterInfo(false).size(), 3);
}

TEST(DeviceManagerFiles, PrinterListFileContentAndMode)
{
    TestInstallRoot install;
    stPrinterInfo a;
    a.strPrinterName = "q>1";
    a.enType = "OSTREL VX1310";
    a.iConnectType = CONNECT_USB;
    a.strPort = "Ostrel/VX1310?serial=A1";
    a.strDeviceURI = "usb://Ostrel/VX1310?serial=A1";
    stPrinterInfo b = a;
    b.strPrinterName = "Net";
    b.iConnectType = CONNECT_NETWORK;
    b.strPort = "127.0.0.2";
    b.strDeviceURI = "socket://127.0.0.2:9100";
    ASSERT_TRUE(TrdDeviceManage::SavePrinterInfo({a, b}, true));

    const QString strPath = UtilCfgFiles::PrinterListPath();
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(strPath).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    const QList<stPrinterInfo> listRead = UtilCfgFiles::ReadPrinterList(strPath);
    ASSERT_EQ(listRead.size(), 2);
    EXPECT_EQ(listRead.at(0).strPrinterName, "q>1");
    EXPECT_EQ(listRead.at(0).iConnectType, CONNECT_USB);
    EXPECT_EQ(listRead.at(1).strPort, "127.0.0.2");
    EXPECT_EQ(listRead.at(1).strDeviceURI, "socket://127.0.0.2:9100");

    const QDateTime tWritten = QFileInfo(strPath).lastModified();
    QThread::msleep(20);
    EXPECT_TRUE(TrdDeviceManage::SavePrinterInfo({a}, false));
    EXPECT_EQ(QFileInfo(strPath).lastModified(), tWritten) << "an unchanged set does not rewrite the file";
    QFile::remove(strPath);
    EXPECT_TRUE(TrdDeviceManage::SavePrinterInfo({a}, false));
    EXPECT_TRUE(QFile::exists(strPath));
}

// Only regular status files of queues that are gone are removed; whatever else sits in
// cfg/ under a matching name is not the service's to delete.
TEST(DeviceManagerFiles, StaleRemovalTakesRegularStatusFilesOnly)
{
    TestInstallRoot install;
    ASSERT_TRUE(QDir().mkpath(install.Cfg()));
    for (const char *szFile : {"Kept.dat", "Gone.dat", ".hidden.dat", "notes.txt"})
        ASSERT_TRUE(WriteWholeFile(install.Cfg(szFile), "x"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(install.Cfg("pipe.dat")).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(install.Cfg("Kept.dat"), install.Cfg("link.dat")));
    ASSERT_TRUE(QDir().mkpath(install.Cfg("dir.dat")));

    EXPECT_TRUE(UtilCfgFiles::RemoveStaleStatusFiles({"Kept"}));
    EXPECT_EQ(QDir(install.Cfg()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                            QDir::Name),
              (QStringList{".hidden.dat", "Kept.dat", "dir.dat", "link.dat", "notes.txt", "pipe.dat"}));
}
