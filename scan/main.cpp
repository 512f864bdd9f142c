// QuarnScanDaemon: scanner proxy for scan clients on this machine (TCP port 55200).
#include <cstdlib>

#include "quarn_server.h"

int main()
{
    create_daemon();
    if (!InitQuitSignal())
        std::exit(0);
    return mainProc();
}
