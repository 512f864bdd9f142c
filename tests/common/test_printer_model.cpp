#include <gtest/gtest.h>

#include "PrinterModel.h"
#include "SharedPrinterList.h"

TEST(ModelCatalogue, UsbPortSelectsRowByUriModelFollowedByQuery)
{
    const stModelInfo *pRow = FindModelByPort("Ostrel/VX3310%20Pro?serial=AB12");
    ASSERT_NE(pRow, nullptr);
    EXPECT_EQ(pRow->iVID, 0x300E);
    EXPECT_EQ(pRow->iPID, 0x30A1);

    pRow = FindModelByPort("Ostrel/VX1310?serial=1");
    ASSERT_NE(pRow, nullptr);
    EXPECT_EQ(pRow->iPID, 0x30A2);

    EXPECT_EQ(FindModelByPort("Ostrel/VX1310"), nullptr) << "model text must be followed by '?'";
    EXPECT_EQ(FindModelByPort("Ostrel/vx1310?serial=1"), nullptr) << "the port test is case-sensitive";
    EXPECT_EQ(FindModelByPort("Other/Model?serial=1"), nullptr);
}

TEST(ModelCatalogue, PpdModelNameMatchesIgnoringCase)
{
    const stModelInfo *pRow = FindModelByName("ostrel vx3310 pro");
    ASSERT_NE(pRow, nullptr);
    EXPECT_EQ(pRow->strModelName, "OSTREL VX3310 Pro");
    EXPECT_EQ(FindModelByName("OSTREL VX1310 Plus"), nullptr);
}

TEST(ModelCatalogue, KQFamilyIsACaseSensitiveSubstringTest)
{
    EXPECT_TRUE(isKQPrinterModel("VX3310 Pro"));
    EXPECT_TRUE(isKQPrinterModel("OSTREL VX1310"));
    EXPECT_TRUE(isKQPrinterModel("x VX3310-Pro y"));
    EXPECT_FALSE(isKQPrinterModel("vx3310 pro"));
    EXPECT_FALSE(isKQPrinterModel("ostrel vx1310"));
    EXPECT_FALSE(isKQPrinterModel(""));
}

TEST(PrinterRecords, FreshRecordsHoldTheInitialValues)
{
    const stPrinterManager m;
    EXPECT_EQ(m.stInfo.iConnectType, 0);
    EXPECT_TRUE(m.stInfo.strPrinterName.isEmpty());
    EXPECT_EQ(m.stState.enCurrentStatus, STATUS_OFFLINE);
    EXPECT_EQ(m.stState.dwRemainingToner, 0u);
    EXPECT_TRUE(m.listJob.isEmpty());
    EXPECT_FALSE(m.bNeedStatus);
    const stJobState job;
    EXPECT_EQ(job.iReserved, -1);
}

TEST(PrinterRecords, CopiesOutOfTheSharedListAreIndependent)
{
    SharedPrinterList shared;
    stPrinterManager m;
    m.stInfo.strPrinterName = "Office";
    m.stState.listError = {ERR_FIXER};
    shared.Replace({m});

    stPrinterManager copy;
    ASSERT_TRUE(shared.CopyOut(0, copy));
    copy.stInfo.strPrinterName = "Changed";
    copy.stState.listError.append(ERR_TONER_LOW);
    copy.listJob.append(stJobState{"Office-1", 1, -1});

    stPrinterManager again;
    ASSERT_TRUE(shared.CopyOut(0, again));
    EXPECT_EQ(again.stInfo.strPrinterName, "Office");
    EXPECT_EQ(again.stState.listError.size(), 1);
    EXPECT_TRUE(again.listJob.isEmpty());
    EXPECT_FALSE(shared.CopyOut(1, again));
    EXPECT_FALSE(shared.CopyOut(-1, again));
}
