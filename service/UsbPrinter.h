// Finding one printer on USB by catalogue ids and serial number, and talking to it
// with class control requests on interface 0.
#pragma once

#include <QString>

struct libusb_context;
struct libusb_device_handle;

namespace service
{
constexpr int c_iUsbControlTimeoutMs = 2000;
constexpr int c_iUsbSerialBuffer = 64;
constexpr int c_iUsbStatusLength = 1024;
constexpr int c_iUsbCancelLength = 1017;

enum enUsbResult
{
    USB_OK = 0,
    USB_NO_MODEL = -1,
    USB_INIT_FAILED = -2,
    USB_LIST_FAILED = -3,
    USB_DESCRIPTOR_FAILED = -4,
    USB_NO_DEVICE = -5,  // the printer is not attached: off-line at once
    USB_CLAIM_FAILED = -6,
    USB_EXCEPTION = -99,
};

struct stUsbRequest
{
    unsigned char ucRequestType;
    unsigned char ucRequest;
    unsigned short usValue;
    unsigned short usIndex;
    unsigned short usLength;
};

// Vendor and product id of the catalogue row that the port text names.
bool GetPrinterVidPid(const QString &strPort, int &iVID, int &iPID);

// Holds the open device and the claimed interface of one exchange, and releases
// whatever it acquired when it goes out of scope.
class UsbPrinterSession
{
public:
    explicit UsbPrinterSession(const QString &strPort) : m_strPort(strPort) {}
    ~UsbPrinterSession();
    UsbPrinterSession(const UsbPrinterSession &) = delete;
    UsbPrinterSession &operator=(const UsbPrinterSession &) = delete;

    int Open();
    // The number of bytes transferred, or a negative libusb code.
    int Control(const stUsbRequest &req, unsigned char *pData);

private:
    int FindDevice(int iVID, int iPID);
    // The device's serial text; the libusb result (negative on failure).
    static int ReadSerial(libusb_device_handle *pHandle, unsigned char ucSerialIndex, QString &strSerial);
    bool SerialMatches(const QString &strDevice) const;
    void ClaimInterface();

    QString m_strPort;
    libusb_context *m_pContext = nullptr;  // the service's shared context, not owned
    libusb_device_handle *m_pHandle = nullptr;
    bool m_bClaimed = false;
};
}  // namespace service
