#include <QCoreApplication>

#include <pthread.h>

#include <csignal>
#include <thread>

#include "SharedPrinterList.h"
#include "TrdDeviceManage.h"
#include "UtilLog.h"

namespace
{
sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void InitLog()
{
    SetLogProfile({"log", "log_srv"});
    // Diagnostics stay off unless asked for at start.
    if (qEnvironmentVariableIntValue("OSTREL_LOG") > 0)
        SetLogEnable(true);
}
}  // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread exists, so that every thread inherits the mask and only
    // the stopper below takes them: unlike a signal handler it may wake sleeping threads.
    const sigset_t setStop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &setStop, nullptr);
    QCoreApplication app(argc, argv);
    if (CheckIsRunning())
        return 0;
    InitLog();
    LOG_WRITE("Start service, enable log");

    SharedPrinterList listPrinter;
    service::TrdDeviceManage deviceManage;
    deviceManage.Init(&listPrinter);
    // The loop ends only when this thread has taken a stop signal.
    std::thread stopper([&setStop, &deviceManage] {
        int iSignal = 0;
        sigwait(&setStop, &iSignal);
        deviceManage.RequestStop();
    });

    deviceManage.SlotTaskStart();
    stopper.join();
    deviceManage.StopAll();
    LOG_WRITE("Stop service");
    return 0;
}
