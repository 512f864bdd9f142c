// The service's writers and the tool's readers in one process: the two programs' classes
// share names but not a namespace, and what one publishes the other reads.
#include <gtest/gtest.h>

#include "SharedPrinterList.h"
#include "StatusReplyBuilder.h"
#include "TestSupport.h"
#include "ToolTestSupport.h"
#include "service/TrdDeviceManage.h"
#include "service/TrdGetPrinterStatus.h"
#include "tool/TrdDeviceManage.h"
#include "tool/TrdGetPrinterStatus.h"

TEST(FileInterface, TheToolReadsWhatTheServicePublishes)
{
    TestInstallRoot root;
    const QList<stPrinterInfo> listInfo = {
        ToolPrinter(QString::fromUtf8("办公室 1"), c_szModelKQ, CONNECT_USB, "Ostrel/VX3310%20Pro?serial=A=1;2"),
        ToolPrinter("Lab,2", c_szModelStandard, CONNECT_NETWORK, "127.0.0.2"),
    };
    ASSERT_TRUE(service::TrdDeviceManage::SavePrinterInfo(listInfo, true));
    const QList<stPrinterInfo> listRead = tool::TrdDeviceManage::GetPrinterInfo();
    ASSERT_EQ(listRead.size(), listInfo.size());
    for (int i = 0; i < listInfo.size(); ++i) {
        EXPECT_EQ(listRead[i].strPrinterName, listInfo[i].strPrinterName);
        EXPECT_EQ(listRead[i].enType, listInfo[i].enType);
        EXPECT_EQ(listRead[i].iConnectType, listInfo[i].iConnectType);
        EXPECT_EQ(listRead[i].strPort, listInfo[i].strPort);
        EXPECT_EQ(listRead[i].strDeviceURI, listInfo[i].strDeviceURI);
    }

    // One standard reply published by the service's poller and decoded by the tool's reader.
    SharedPrinterList listService;
    listService.Replace(InitPrinterList({listInfo[1]}));
    service::TrdGetPrinterStatus poller;
    poller.Init(0, &listService, nullptr);
    ASSERT_TRUE(poller.CopyOutCurrent());
    stStandardReply reply;
    reply.ucStatus = 16;
    reply.listWarning = {0x110D};
    reply.listSupply = {SupplyNumber(0x1000, 3750, 4)};
    ASSERT_EQ(poller.CheckPrinterStatus(BuildStandardReply(reply), service::FAMILY_STANDARD), 0);

    SharedPrinterList listTool;
    listTool.Replace(InitPrinterList({listRead[1]}));
    tool::TrdGetPrinterStatus reader;
    reader.Init(0, &listTool);
    reader.RunPass();
    const stPrinterState &stService = poller.CurrentPrinter().stState;
    const stPrinterState &stTool = reader.CurrentPrinter().stState;
    EXPECT_EQ(stTool.enCurrentStatus, STATUS_PRINTING);
    EXPECT_EQ(stTool.enCurrentStatus, stService.enCurrentStatus);
    EXPECT_EQ(stTool.dwRemainingToner, stService.dwRemainingToner);
    EXPECT_EQ(stTool.listWarning, stService.listWarning);
}
