#include "quarn_net.h"

int quarn_send_osl(QuarnSocket *, char **, OSL_CMD_TYPE, int *)
{
    return SANE_STATUS_IO_ERROR;
}

int quarn_http_ScanStart(QuarnSocket *, const SettingInfo *)
{
    return SANE_STATUS_IO_ERROR;
}

int quarn_tcp_ScanRecord(QuarnSocket *, ScanStatus *, unsigned char **, int *, int *)
{
    return SANE_STATUS_IO_ERROR;
}

int quarn_http_ScanAbort(QuarnSocket *)
{
    return SANE_STATUS_IO_ERROR;
}

int quarn_http_adfstatus(QuarnSocket *, ADFStatus *)
{
    return SANE_STATUS_IO_ERROR;
}

int quarn_http_DeviceProperties(QuarnSocket *, ScannerCapabilities *)
{
    return SANE_STATUS_IO_ERROR;
}
