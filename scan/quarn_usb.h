// USB scanners through the kernel's usbfs device nodes, without a USB library. A device
// handle is the descriptor of an opened node; 0 and negative values are never valid.
#pragma once

#include <linux/usb/ch9.h>

#include "quarn_wire.h"

constexpr unsigned c_uQuarnBulkOut = 0x02;
constexpr unsigned c_uQuarnBulkIn = 0x82;
constexpr int c_iQuarnDescriptorSize = 18;

struct QUARN_USB_DEV
{
    int fd;
    usb_device_descriptor dev_des; // as read from the node: little-endian fields
};
static_assert(sizeof(usb_device_descriptor) == c_iQuarnDescriptorSize, "device descriptor");

// Selects the KQ family's bulk-in variant; the scanner command layer sets it before
// every response and record read.
extern bool bIsKQ;

// Opens every node of the vendor (and product, when asked) read-write; returns how many
// entries of devs (capacity c_iQuarnMaxDevices) were filled, or -1 without a usbfs root.
int quarn_find_device(unsigned short usVid, unsigned short usPid, QUARN_USB_DEV *devs, bool bComparePid);
void converToDevRes(int fd, const usb_device_descriptor &des, USBFindDevRes *pRes);

int quarn_control_msg(int fd, int iRequestType, int iRequest, int iValue, int iIndex, unsigned char *pData,
                      int iSize, int iTimeoutMs);
int quarn_get_string(int fd, int iIndex, int iLangId, unsigned char *pBuf, int iLength);
int quarn_get_string_simple(int fd, int iIndex, char *szBuf, int iCapacity);

int quarn_bulk_write(int fd, const unsigned char *pData, int iSize, int iTimeoutMs);
int quarn_bulk_read(int fd, unsigned char *pBuf, int iSize, int iTimeoutMs);
int ReadWithRetry(int fd, unsigned char *pBuf, int iCount);

int quarn_resetep(int fd, unsigned uEndpoint);
int quarn_clear_halt(int fd, unsigned uEndpoint);
int quarn_reset_device(int fd);
void quarn_close_device(int fd);
int quarn_init(int fd);
