// The dispatcher's function tables for the daemon's real transports.
#include "quarn_dispatch.h"
#include "quarn_net.h"
#include "quarn_scanner.h"

const stQuarnUsbOps c_stQuarnUsbOps = {
    quarn_find_device,
    converToDevRes,
    quarn_close_device,
    quarn_init,
    quarn_clear_halt,
    quarn_resetep,
    ScanStart,
    ScanAbort,
    ScanLock,
    ScanUnlock,
    ScanADFStatus,
    ScanPowerOn,
    ScanGetScanSizes,
    ScanDeviceProperties,
    ScanRecord,
};

const stQuarnNetOps c_stQuarnNetOps = {
    quarn_send_osl,
    quarn_http_ScanStart,
    quarn_tcp_ScanRecord,
    quarn_http_ScanAbort,
    quarn_http_adfstatus,
    quarn_http_DeviceProperties,
};
