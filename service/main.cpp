#include <QCoreApplication>

#include <csignal>

#include "SharedPrinterList.h"
#include "TrdDeviceManage.h"
#include "UtilLog.h"

namespace
{
service::TrdDeviceManage *s_pDeviceManage = nullptr;

// Only an atomic store happens here, which is safe inside a signal handler.
void OnStopSignal(int)
{
    if (s_pDeviceManage)
        s_pDeviceManage->RequestQuit();
}

void InitStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
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
    QCoreApplication app(argc, argv);
    if (CheckIsRunning())
        return 0;
    InitLog();
    LOG_WRITE("Start service, enable log");

    SharedPrinterList listPrinter;
    service::TrdDeviceManage deviceManage;
    deviceManage.Init(&listPrinter);
    s_pDeviceManage = &deviceManage;
    InitStopSignals();

    deviceManage.SlotTaskStart();
    deviceManage.StopAll();
    s_pDeviceManage = nullptr;
    LOG_WRITE("Stop service");
    return 0;
}
