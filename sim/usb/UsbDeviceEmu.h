// One emulated USB device on a UsbTestbed: a device node /dev/bus/usb/BBB/DDD with its
// sysfs record, one configuration with one interface, answering both the libusb path
// (URBs) and raw usbfs (USBDEVFS_CONTROL, USBDEVFS_BULK, read()).
//
// Descriptors, string descriptors, claiming and the kernel-driver detach are answered
// here; every other control request and every bulk transfer goes to the responder the
// test supplies. The responder runs on the testbed's single worker thread, which serves
// all devices of the testbed: it must answer at once and never block.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class UsbTestbed;
class UsbEmuHandler;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevTestbed UMockdevTestbed;

struct GObjectUnref
{
    void operator()(void *p) const;
};

constexpr unsigned char c_ucEndpointBulk = 0x02;
constexpr unsigned short c_usBulkMaxPacket = 512;

struct stUsbEndpoint
{
    unsigned char ucAddress = 0;  // bit 7 set: IN
    unsigned char ucAttributes = c_ucEndpointBulk;
    unsigned short usMaxPacket = c_usBulkMaxPacket;
};

struct stUsbDeviceInfo
{
    unsigned short usVendor = 0;
    unsigned short usProduct = 0;
    unsigned short usRelease = 0x0100;
    QString strManufacturer;
    QString strProduct;
    QString strSerial;
    unsigned char ucInterfaceClass = 0xFF;
    unsigned char ucInterfaceSubClass = 0;
    unsigned char ucInterfaceProtocol = 0;
    QVector<stUsbEndpoint> vecEndpoints;
    // The kernel driver bound to interface 0 until a host detaches it; empty: none.
    // While bound, claiming and transfers to the interface fail with EBUSY.
    QString strKernelDriver;
};

enum enUsbEmuEvent
{
    EMU_CONTROL,
    EMU_BULK,
    EMU_CLAIM,
    EMU_RELEASE,
    EMU_DETACH_DRIVER,
    EMU_RESET_DEVICE,
    EMU_RESET_ENDPOINT,
    EMU_CLEAR_HALT,
};

// Something the device received. Control requests fill the setup fields; bulk
// transfers and the endpoint events fill ucEndpoint; claim and release fill usIndex.
struct stUsbEmuEvent
{
    enUsbEmuEvent enKind = EMU_CONTROL;
    unsigned char ucEndpoint = 0;
    unsigned char ucRequestType = 0;
    unsigned char ucRequest = 0;
    unsigned short usValue = 0;
    unsigned short usIndex = 0;
    unsigned int uLength = 0;  // wLength, or the bulk buffer length
    QByteArray baOut;          // what the host sent; records keep at most c_iRecordedDataMax bytes
};

enum enUsbEmuOutcome
{
    EMU_ANSWER,   // completes; an IN transfer gets the reply bytes, cut to the length asked
    EMU_TIMEOUT,  // never completes: libusb gives up and discards, raw usbfs gets ETIMEDOUT
    EMU_STALL,    // EPIPE
    EMU_GONE,     // ENODEV, as from a device pulled mid-transfer
};

struct stUsbEmuReply
{
    enUsbEmuOutcome enOutcome = EMU_ANSWER;
    QByteArray baIn;
};

using UsbEmuResponder = std::function<stUsbEmuReply(const stUsbEmuEvent &)>;

constexpr int c_iRecordedDataMax = 1024;
constexpr int c_iRecordedEventsMax = 20000;  // beyond this the oldest records are dropped

class UsbDeviceEmu
{
public:
    // The responder may still run until every fd on the node is closed: whatever it
    // captures must outlive those fds.
    UsbDeviceEmu(UsbTestbed &testbed, const stUsbDeviceInfo &stInfo, UsbEmuResponder responder);
    virtual ~UsbDeviceEmu();
    UsbDeviceEmu(const UsbDeviceEmu &) = delete;
    UsbDeviceEmu &operator=(const UsbDeviceEmu &) = delete;

    int BusNumber() const { return m_iBus; }
    int DeviceNumber() const { return m_iDevnum; }
    QString NodePath() const;  // /dev/bus/usb/BBB/DDD
    // Device descriptor followed by the configuration: what sysfs and read() give.
    QByteArray Descriptors() const;

    // Every further ioctl and read answers ENODEV, then the device leaves the testbed.
    void Unplug();

    QVector<stUsbEmuEvent> Events() const;
    int CountEvents(enUsbEmuEvent enKind) const;
    // iLength < 0 matches any wLength.
    int CountControl(unsigned char ucRequestType, unsigned char ucRequest, int iLength = -1) const;

private:
    void Connect(const char *szSignal, void (*pCallback)());
    void Plug(const stUsbDeviceInfo &stInfo);

    std::unique_ptr<UMockdevTestbed, GObjectUnref> m_pTestbed;
    std::unique_ptr<UMockdevIoctlBase, GObjectUnref> m_pIoctl;
    std::shared_ptr<UsbEmuHandler> m_pHandler;
    int m_iBus = 0;
    int m_iDevnum = 0;
    QString m_strSysPath;
};
