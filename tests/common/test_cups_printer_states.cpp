// The shared "is this queue printing" answer as idle pollers wait on it: asleep until
// their queue prints, all woken at a stop, against a private scheduler.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

#include "HoldingSocketPrinter.h"
#include "PrivateCups.h"
#include "UtilCups.h"

using namespace std::chrono;

namespace
{
constexpr int c_iMaxAgeMs = 100;
constexpr int c_iShortWaitMs = 300;
constexpr int c_iLongWaitMs = 60000;
constexpr int c_iIdleWaiters = 4;
const char *const c_szModel = "Ostrel VX3310";

int MsSince(steady_clock::time_point t0)
{
    return int(duration_cast<milliseconds>(steady_clock::now() - t0).count());
}
}  // namespace

TEST(CupsPrinterStates, WaitersSleepUntilTheirQueuePrintsOrAllAreWoken)
{
    HoldingSocketPrinter printer("127.0.0.232");
    ASSERT_TRUE(printer.Listening());
    PrivateCups cups;
    ASSERT_TRUE(cups.Start()) << cups.LastError().toStdString();
    cups.UseInThisProcess();
    ASSERT_TRUE(cups.AddQueue("Held", "socket://127.0.0.232:9100", c_szModel)) << cups.LastError().toStdString();
    ASSERT_TRUE(cups.AddQueue("Idle", "socket://127.0.0.233:9100", c_szModel)) << cups.LastError().toStdString();
    UtilCupsPrinterStates states(c_iMaxAgeMs);

    auto t0 = steady_clock::now();
    EXPECT_FALSE(states.WaitUntilPrinting("Held", c_iShortWaitMs));
    EXPECT_GE(MsSince(t0), c_iShortWaitMs);

    std::vector<std::future<bool>> vecIdle;
    for (int i = 0; i < c_iIdleWaiters; ++i)
        vecIdle.push_back(std::async(std::launch::async, [&] { return states.WaitUntilPrinting("Idle", c_iLongWaitMs); }));
    std::future<bool> held = std::async(std::launch::async, [&] { return states.WaitUntilPrinting("Held", c_iLongWaitMs); });
    const int iJob = cups.SubmitJob("Held", QByteArray(4096, 'h'));
    ASSERT_GT(iJob, 0) << cups.LastError().toStdString();
    ASSERT_EQ(held.wait_for(seconds(30)), std::future_status::ready) << "the waiter of the printing queue slept on";
    EXPECT_TRUE(held.get());
    EXPECT_TRUE(states.IsPrinting("Held"));
    EXPECT_FALSE(states.IsPrinting("Idle"));
    for (std::future<bool> &idle : vecIdle)
        EXPECT_EQ(idle.wait_for(milliseconds(0)), std::future_status::timeout) << "an idle queue's waiter woke";

    t0 = steady_clock::now();
    states.WakeAll();
    for (std::future<bool> &idle : vecIdle) {
        ASSERT_EQ(idle.wait_for(seconds(5)), std::future_status::ready);
        EXPECT_FALSE(idle.get());
    }
    EXPECT_LT(MsSince(t0), 5000);
    EXPECT_TRUE(cups.CancelJob(iJob));
    printer.Release();
}
