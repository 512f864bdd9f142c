// The emulated USB devices the service and scan tests stand on, seen through the two
// ways the suite talks USB: libusb for the printers, raw usbfs for the scanners.
#include <gtest/gtest.h>

#include <libusb-1.0/libusb.h>
#include <linux/usbdevice_fs.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "UsbDeviceEmu.h"
#include "UsbPrinterEmu.h"
#include "UsbTestbed.h"
#include "UtilPrinterStatus.h"
#include "service/PrinterTransport.h"
#include "service/UsbPrinter.h"

using namespace service;

namespace
{
constexpr int c_iAnswerTimeoutMs = 2000;  // a device that answers does so well within this
constexpr int c_iSilenceTimeoutMs = 200;  // how long the host waits on a device that stays silent
constexpr int c_iStatusLength = 1024;
constexpr int c_iCancelLength = 1017;
constexpr int c_iInterface = 0;
constexpr unsigned short c_usStandardProduct = 0x30A1;
constexpr unsigned short c_usKQProduct = 0x30A2;
constexpr int c_iDeviceDescLength = 18;
constexpr int c_iStringBuffer = 255;
constexpr unsigned char c_ucSerialIndex = 3;
constexpr unsigned short c_usLanguageEnglishUs = 0x0409;
constexpr int c_iBulkInBuffer = 512;
constexpr unsigned int c_uScanOut = 0x02;
constexpr unsigned int c_uScanIn = 0x82;
constexpr unsigned char c_ucGetDescriptorType = 0x80;
constexpr unsigned char c_ucGetDescriptor = 0x06;
constexpr unsigned short c_usStringDescriptor = 0x0300;
constexpr unsigned char c_ucVendorInType = 0xC0;
constexpr unsigned char c_ucUnknownVendorRequest = 0x0D;

struct HandleCloser
{
    void operator()(libusb_device_handle *p) const { libusb_close(p); }
};
using HandleRef = std::unique_ptr<libusb_device_handle, HandleCloser>;

// A libusb context of the test process. Declared after the testbed, so it is gone
// before the testbed: a call on the node of a vanished testbed never returns.
class LibusbContext
{
public:
    LibusbContext()
    {
        if (libusb_init(&m_pContext) < 0)
            m_pContext = nullptr;
    }
    ~LibusbContext()
    {
        if (m_pContext)
            libusb_exit(m_pContext);
    }
    LibusbContext(const LibusbContext &) = delete;
    LibusbContext &operator=(const LibusbContext &) = delete;

    bool Valid() const { return m_pContext != nullptr; }

    int Count(unsigned short usProduct) const
    {
        int iCount = 0;
        Walk(usProduct, [&iCount](libusb_device *, const libusb_device_descriptor &) {
            ++iCount;
            return false;
        });
        return iCount;
    }

    // The printer with this product id and serial, found the way the service finds it.
    HandleRef Open(unsigned short usProduct, const QString &strSerial) const
    {
        HandleRef handle;
        Walk(usProduct, [&](libusb_device *pDevice, const libusb_device_descriptor &desc) {
            libusb_device_handle *pHandle = nullptr;
            if (libusb_open(pDevice, &pHandle) != LIBUSB_SUCCESS)
                return false;
            HandleRef candidate(pHandle);
            if (SerialOf(pHandle, desc.iSerialNumber) != strSerial)
                return false;
            handle = std::move(candidate);
            return true;
        });
        return handle;
    }

    // A reference that outlives the list, for opening after the device has gone.
    libusb_device *Reference(unsigned short usProduct) const
    {
        libusb_device *pFound = nullptr;
        Walk(usProduct, [&pFound](libusb_device *pDevice, const libusb_device_descriptor &) {
            pFound = libusb_ref_device(pDevice);
            return true;
        });
        return pFound;
    }

private:
    template <typename Visit>
    void Walk(unsigned short usProduct, Visit visit) const
    {
        libusb_device **ppList = nullptr;
        const ssize_t iCount = libusb_get_device_list(m_pContext, &ppList);
        for (ssize_t i = 0; i < iCount; ++i) {
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(ppList[i], &desc) != LIBUSB_SUCCESS)
                continue;
            if (desc.idVendor == c_usOstrelVendor && desc.idProduct == usProduct && visit(ppList[i], desc))
                break;
        }
        if (iCount >= 0)
            libusb_free_device_list(ppList, 1);
    }

    static QString SerialOf(libusb_device_handle *pHandle, unsigned char ucIndex)
    {
        unsigned char szSerial[c_iStringBuffer] = {};
        const int iLength = libusb_get_string_descriptor_ascii(pHandle, ucIndex, szSerial, sizeof(szSerial));
        return iLength < 0 ? QString() : QString::fromLatin1(reinterpret_cast<const char *>(szSerial), iLength);
    }

    libusb_context *m_pContext = nullptr;
};

// Takes the interface from usblp and claims it, as the service does before asking.
bool TakeInterface(libusb_device_handle *pHandle)
{
    return libusb_kernel_driver_active(pHandle, c_iInterface) == 1 &&
           libusb_detach_kernel_driver(pHandle, c_iInterface) == LIBUSB_SUCCESS &&
           libusb_kernel_driver_active(pHandle, c_iInterface) == 0 &&
           libusb_claim_interface(pHandle, c_iInterface) == LIBUSB_SUCCESS;
}

int AskStatus(libusb_device_handle *pHandle, unsigned char ucType, unsigned char ucRequest, unsigned short usValue,
              QByteArray &baReply, int iTimeoutMs = c_iAnswerTimeoutMs)
{
    baReply = QByteArray(c_iStatusLength, '\0');
    const int iCount = libusb_control_transfer(pHandle, ucType, ucRequest, usValue, 0,
                                               reinterpret_cast<unsigned char *>(baReply.data()), c_iStatusLength,
                                               iTimeoutMs);
    baReply.truncate(iCount < 0 ? 0 : iCount);
    return iCount;
}

int AskStandardStatus(libusb_device_handle *pHandle, QByteArray &baReply, int iTimeoutMs = c_iAnswerTimeoutMs)
{
    return AskStatus(pHandle, c_ucStandardStatusType, c_ucStandardStatusRequest, 0, baReply, iTimeoutMs);
}

class FdGuard
{
public:
    explicit FdGuard(int iFd) : m_iFd(iFd) {}
    ~FdGuard()
    {
        if (m_iFd >= 0)
            close(m_iFd);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    int Fd() const { return m_iFd; }

private:
    int m_iFd;
};

int RawControl(int iFd, unsigned char ucType, unsigned char ucRequest, unsigned short usValue, unsigned short usIndex,
               unsigned char *pData, unsigned short usLength)
{
    usbdevfs_ctrltransfer stCtrl = {};
    stCtrl.bRequestType = ucType;
    stCtrl.bRequest = ucRequest;
    stCtrl.wValue = usValue;
    stCtrl.wIndex = usIndex;
    stCtrl.wLength = usLength;
    stCtrl.timeout = c_iAnswerTimeoutMs;
    stCtrl.data = pData;
    return ioctl(iFd, USBDEVFS_CONTROL, &stCtrl);
}

int RawBulk(int iFd, unsigned int uEndpoint, void *pData, unsigned int uLength)
{
    usbdevfs_bulktransfer stBulk = {};
    stBulk.ep = uEndpoint;
    stBulk.len = uLength;
    stBulk.timeout = c_iAnswerTimeoutMs;
    stBulk.data = pData;
    return ioctl(iFd, USBDEVFS_BULK, &stBulk);
}

QString DecodeString(const unsigned char *p, int iLength)
{
    QString str;
    for (int i = 2; i + 1 < iLength; i += 2)
        str += QChar(ushort(p[i] | p[i + 1] << 8));
    return str;
}

stUsbDeviceInfo ScannerInfo()
{
    stUsbDeviceInfo stInfo;
    stInfo.usVendor = c_usOstrelVendor;
    stInfo.usProduct = 0x30C1;
    stInfo.strManufacturer = QStringLiteral("Quarn");
    stInfo.strProduct = QStringLiteral("Quarn Scanner");
    stInfo.strSerial = QStringLiteral("SCN0001");
    stInfo.vecEndpoints = {{c_uScanOut}, {c_uScanIn}};
    return stInfo;
}

const QByteArray c_baScanBlock = QByteArrayLiteral("\x1b" "IMG" "\x00\x01\x02\x03");

stUsbEmuReply ScannerReply(const stUsbEmuEvent &ev)
{
    if (ev.enKind == EMU_BULK)
        return {EMU_ANSWER, ev.ucEndpoint == c_uScanIn ? c_baScanBlock : QByteArray()};
    return {EMU_STALL, {}};
}
}  // namespace

TEST(UsbEmulation, LibusbFindsEachPrinterBySerialAndGetsTheChosenAnswers)
{
    UsbTestbed testbed;
    if (!testbed.Emulated())
        GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    UsbPrinterEmu first(testbed, c_usStandardProduct, "STD0001");
    UsbPrinterEmu second(testbed, c_usStandardProduct, "STD0002");
    UsbPrinterEmu kq(testbed, c_usKQProduct, "KQ0001");
    const QByteArray baStandard = QByteArrayLiteral("\x00\x20\x10\x00\x01\x0d\x11");
    const QByteArray baKQ = QByteArrayLiteral("NPA\x01\x00\x00\x00\x00");
    first.SetStatusReply("wrong printer");
    second.SetStatusReply(baStandard);
    kq.SetStatusReply(baKQ);
    EXPECT_NE(first.DeviceNumber(), second.DeviceNumber());

    LibusbContext usb;
    ASSERT_TRUE(usb.Valid());
    EXPECT_EQ(usb.Count(c_usStandardProduct), 2);
    EXPECT_EQ(usb.Count(c_usKQProduct), 1);

    HandleRef standard = usb.Open(c_usStandardProduct, "STD0002");
    ASSERT_TRUE(standard);
    QByteArray baReply;
    // usblp still holds the interface: usbfs refuses with EBUSY, which libusb calls an I/O error.
    EXPECT_EQ(AskStandardStatus(standard.get(), baReply), LIBUSB_ERROR_IO);
    EXPECT_EQ(second.CountControl(c_ucStandardStatusType, c_ucStandardStatusRequest), 0);
    EXPECT_EQ(libusb_claim_interface(standard.get(), c_iInterface), LIBUSB_ERROR_BUSY);
    ASSERT_TRUE(TakeInterface(standard.get()));
    EXPECT_EQ(AskStandardStatus(standard.get(), baReply), baStandard.size());
    EXPECT_EQ(baReply, baStandard);

    unsigned char szCancel[c_iCancelLength] = {};
    EXPECT_EQ(libusb_control_transfer(standard.get(), c_ucCancelType, c_ucCancelRequest, 0, 0, szCancel,
                                      c_iCancelLength, c_iAnswerTimeoutMs),
              0);
    EXPECT_EQ(second.CancelCount(), 1);
    EXPECT_EQ(first.CancelCount(), 0);
    EXPECT_EQ(second.CountEvents(EMU_DETACH_DRIVER), 1);
    EXPECT_EQ(first.CountControl(c_ucStandardStatusType, c_ucStandardStatusRequest), 0);
    EXPECT_EQ(libusb_release_interface(standard.get(), c_iInterface), LIBUSB_SUCCESS);

    HandleRef handleKQ = usb.Open(c_usKQProduct, "KQ0001");
    ASSERT_TRUE(handleKQ);
    ASSERT_TRUE(TakeInterface(handleKQ.get()));
    EXPECT_EQ(AskStatus(handleKQ.get(), c_ucKQStatusType, c_ucKQStatusRequest, c_usKQStatusValue, baReply),
              baKQ.size());
    EXPECT_EQ(baReply, baKQ);
    EXPECT_EQ(kq.CountControl(c_ucKQStatusType, c_ucKQStatusRequest, c_iStatusLength), 1);

    kq.SetStatusFailure(EMU_TIMEOUT);
    EXPECT_EQ(AskStandardStatus(handleKQ.get(), baReply, c_iSilenceTimeoutMs), LIBUSB_ERROR_TIMEOUT);
    kq.SetStatusFailure(EMU_STALL);
    EXPECT_EQ(AskStandardStatus(handleKQ.get(), baReply), LIBUSB_ERROR_PIPE);
    kq.SetStatusReply(baKQ);
    EXPECT_EQ(AskStandardStatus(handleKQ.get(), baReply), baKQ.size());
}

TEST(UsbEmulation, UnpluggedPrinterFailsItsTransfersAndLeavesTheList)
{
    UsbTestbed testbed;
    if (!testbed.Emulated())
        GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    UsbPrinterEmu printer(testbed, c_usStandardProduct, "GONE0001");
    const QByteArray baReady = QByteArrayLiteral("ready");
    printer.SetStatusReply(baReady);

    LibusbContext usb;
    ASSERT_TRUE(usb.Valid());
    libusb_device *pStale = usb.Reference(c_usStandardProduct);
    ASSERT_NE(pStale, nullptr);
    HandleRef handle = usb.Open(c_usStandardProduct, "GONE0001");
    ASSERT_TRUE(handle);
    ASSERT_TRUE(TakeInterface(handle.get()));
    QByteArray baReply;
    EXPECT_EQ(AskStandardStatus(handle.get(), baReply), baReady.size());

    printer.Unplug();
    EXPECT_EQ(AskStandardStatus(handle.get(), baReply), LIBUSB_ERROR_NO_DEVICE);
    handle.reset();
    libusb_device_handle *pHandle = nullptr;
    EXPECT_EQ(libusb_open(pStale, &pHandle), LIBUSB_ERROR_NO_DEVICE);
    libusb_unref_device(pStale);
    EXPECT_EQ(usb.Count(c_usStandardProduct), 0);
    EXPECT_EQ(LibusbContext().Count(c_usStandardProduct), 0);
}

TEST(UsbEmulation, RawUsbfsReadsDescriptorsAndMovesBulkData)
{
    UsbTestbed testbed;
    if (!testbed.Emulated())
        GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    UsbDeviceEmu scanner(testbed, ScannerInfo(), ScannerReply);
    FdGuard node(open(scanner.NodePath().toLocal8Bit().constData(), O_RDWR | O_CLOEXEC));
    ASSERT_GE(node.Fd(), 0) << std::strerror(errno);

    unsigned char szDevice[c_iDeviceDescLength] = {};
    ASSERT_EQ(read(node.Fd(), szDevice, sizeof(szDevice)), c_iDeviceDescLength);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(szDevice), c_iDeviceDescLength),
              scanner.Descriptors().left(c_iDeviceDescLength));

    unsigned char szString[c_iStringBuffer] = {};
    const int iLength = RawControl(node.Fd(), c_ucGetDescriptorType, c_ucGetDescriptor,
                                   c_usStringDescriptor | c_ucSerialIndex, c_usLanguageEnglishUs, szString,
                                   sizeof(szString));
    ASSERT_GT(iLength, 2);
    EXPECT_EQ(DecodeString(szString, iLength), "SCN0001");
    unsigned char szVendor[4] = {};
    EXPECT_EQ(RawControl(node.Fd(), c_ucVendorInType, c_ucUnknownVendorRequest, 0, 0, szVendor, sizeof(szVendor)), -1);
    EXPECT_EQ(errno, EPIPE);

    QByteArray baCommand = QByteArrayLiteral("\x1bSCAN");
    EXPECT_EQ(RawBulk(node.Fd(), c_uScanOut, baCommand.data(), unsigned(baCommand.size())), baCommand.size());
    unsigned char szBlock[c_iBulkInBuffer] = {};
    ASSERT_EQ(RawBulk(node.Fd(), c_uScanIn, szBlock, sizeof(szBlock)), c_baScanBlock.size());
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(szBlock), c_baScanBlock.size()), c_baScanBlock);
    const QVector<stUsbEmuEvent> vecEvents = scanner.Events();
    ASSERT_EQ(scanner.CountEvents(EMU_BULK), 2);
    const auto itOut = std::find_if(vecEvents.begin(), vecEvents.end(),
                                    [](const stUsbEmuEvent &ev) { return ev.ucEndpoint == c_uScanOut; });
    ASSERT_NE(itOut, vecEvents.end());
    EXPECT_EQ(itOut->baOut, baCommand);

    unsigned int uEndpoint = c_uScanIn;
    EXPECT_EQ(ioctl(node.Fd(), USBDEVFS_RESETEP, &uEndpoint), 0);
    EXPECT_EQ(ioctl(node.Fd(), USBDEVFS_CLEAR_HALT, &uEndpoint), 0);
    EXPECT_EQ(ioctl(node.Fd(), USBDEVFS_RESET, nullptr), 0);
    EXPECT_EQ(scanner.CountEvents(EMU_RESET_ENDPOINT), 1);
    EXPECT_EQ(scanner.CountEvents(EMU_CLEAR_HALT), 1);
    EXPECT_EQ(scanner.CountEvents(EMU_RESET_DEVICE), 1);

    scanner.Unplug();
    EXPECT_EQ(RawBulk(node.Fd(), c_uScanIn, szBlock, sizeof(szBlock)), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(read(node.Fd(), szDevice, sizeof(szDevice)), -1);
    EXPECT_EQ(errno, ENODEV);
}

// The service's own query: a serial that fills the descriptor buffer still matches, and
// a printer whose serial cannot be read leaves the walk failed rather than empty.
TEST(UsbEmulation, ServiceQueryMatchesFullLengthSerialsAndCountsUnreadableOnes)
{
    UsbTestbed testbed;
    if (!testbed.Emulated())
        GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    const QString strLongSerial = QString(c_iUsbSerialBuffer - 2, 'a') + "Z";
    UsbPrinterEmu printer(testbed, c_usStandardProduct, strLongSerial);
    UsbPrinterEmu unnamed(testbed, c_usKQProduct, QString());
    const QByteArray baStandard = QByteArrayLiteral("\x00\x20\x10\x00\x01\x0d\x11");
    printer.SetStatusReply(baStandard);

    QByteArray baStatus;
    EXPECT_EQ(GetPrinterStatusUSB("Ostrel/VX3310%20Pro?serial=" + strLongSerial.toUpper(), FAMILY_STANDARD, baStatus),
              USB_OK);
    EXPECT_EQ(baStatus, QByteArray(int(c_ulStatusPrefix), '\0') + baStandard);
    EXPECT_EQ(GetPrinterStatusUSB("Ostrel/VX3310%20Pro?serial=" + strLongSerial + "x", FAMILY_STANDARD, baStatus),
              USB_NO_DEVICE);
    // With the other printer gone, the failed serial read is the walk's last word.
    printer.Unplug();
    EXPECT_EQ(GetPrinterStatusUSB("Ostrel/VX1310?serial=K1", FAMILY_KQ, baStatus), USB_DESCRIPTOR_FAILED);
}
