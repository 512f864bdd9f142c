// The service's stop reaches every thread that waits on the scheduler's news, also one
// that looked at its quit flag just before the stop and begins its wait just after.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "service/CupsWatch.h"

using namespace std::chrono;

namespace
{
constexpr int c_iLongWaitMs = 30000;
constexpr int c_iIppPrinterIdle = 3;

long long MsSince(steady_clock::time_point t0)
{
    return duration_cast<milliseconds>(steady_clock::now() - t0).count();
}
}  // namespace

TEST(CupsWatch, AStopEndsTheWaitsUnderWayAndEveryWaitAfterIt)
{
    service::CupsWatch watch(service::c_iIdleCheckMs);
    watch.EventsStarted({{"Office", c_iIppPrinterIdle}});
    std::future<bool> waiting =
        std::async(std::launch::async, [&] { return watch.WaitUntilPrinting("Office", c_iLongWaitMs); });
    EXPECT_EQ(waiting.wait_for(milliseconds(200)), std::future_status::timeout) << "an idle queue's waiter woke";

    const steady_clock::time_point t0 = steady_clock::now();
    watch.Stop();
    ASSERT_EQ(waiting.wait_for(seconds(5)), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_TRUE(watch.Stopped());

    EXPECT_FALSE(watch.WaitUntilPrinting("Office", c_iLongWaitMs));
    EXPECT_FALSE(watch.WaitForJobEvent("Office", watch.JobGeneration("Office"),
                                       service::CupsWatch::Clock::now() + milliseconds(c_iLongWaitMs)));
    EXPECT_FALSE(watch.WaitQueuesChanged(watch.QueueGeneration(), c_iLongWaitMs));
    watch.WaitForWake(c_iLongWaitMs);
    // Without events the waits are the polling ones; the stop holds there too, and no
    // waiter asks the scheduler any more.
    watch.EventsStopped();
    EXPECT_FALSE(watch.WaitUntilPrinting("Office", c_iLongWaitMs));
    EXPECT_LT(MsSince(t0), 5000);
}
