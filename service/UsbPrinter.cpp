#include "UsbPrinter.h"

#include <QUrl>
#include <QUrlQuery>

#include <libusb-1.0/libusb.h>

#include <cstring>
#include <mutex>
#include <new>

#include "PrinterModel.h"
#include "PrinterTransport.h"
#include "UtilLog.h"
#include "UtilOutage.h"
#include "UtilPrinterStatus.h"
#include "npa.h"

namespace service
{
namespace
{
constexpr int c_iUsbInterface = 0;

const stUsbRequest c_stStandardStatus = {0xA1, 0x33, 0x0000, 0x0000, c_iUsbStatusLength};
const stUsbRequest c_stKQStatus = {0xC1, 0x01, 0x0102, 0x0000, c_iUsbStatusLength};
const stUsbRequest c_stCancelJob = {0xA1, 0x34, 0x0000, 0x0000, c_iUsbCancelLength};

// A KQ reply must at least carry the frame up to its return value.
constexpr unsigned long c_ulKQFrameMinimum = c_ulStatusPrefix + NPA::c_iReplyDataOffset;
constexpr unsigned long c_ulKQReturnOffset = c_ulStatusPrefix + 28;

// One libusb context serves the whole service: setting one up walks every device on the
// system, which each poll would otherwise repeat. libusb keeps a context safe to share
// between threads and its device list current through hotplug events. A failed set-up
// is tried again at the next exchange.
libusb_context *SharedContext()
{
    static std::mutex s_mutex;
    static libusb_context *s_pContext = nullptr;
    static UtilOutage s_outage;
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_pContext)
        return s_pContext;
    const int iResult = libusb_init(&s_pContext);
    if (iResult < 0) {
        s_pContext = nullptr;
        s_outage.Failed("Unable to set up USB access (libusb_init): %s", libusb_strerror(libusb_error(iResult)));
        return nullptr;
    }
    s_outage.Ended();
    return s_pContext;
}

QString SerialOfPort(const QString &strPort)
{
    return QUrlQuery(QUrl(strPort)).queryItemValue("serial");
}

int LogUsbError(int iCode)
{
    if (iCode != USB_OK)
        LOG_WRITE("*** error=%s \n", libusb_error_name(iCode));
    return iCode;
}

// On USB only the frame's magic and return value are tested; a reply too short to
// hold them is rejected rather than taken as an empty success.
int CheckPrinterStatus_USB_KQ(const QByteArray &baStatus)
{
    const auto *p = reinterpret_cast<const unsigned char *>(baStatus.constData());
    const bool bValid = baStatus.size() >= int(c_ulKQFrameMinimum) &&
                        std::memcmp(p + c_ulStatusPrefix, NPA::c_szMagic, sizeof(NPA::c_szMagic)) == 0 &&
                        p[c_ulKQReturnOffset] == 0;
    if (bValid)
        return QUERY_OK;
    LOG_WRITE("Check NPA respose failed");
    return QUERY_BAD_ADDRESS;
}

// One exchange: open the printer, run one control request, release everything.
int UsbExchange(const QString &strPort, const stUsbRequest &req, unsigned char *pData, int &iTransferred)
{
    try {
        UsbPrinterSession session(strPort);
        const int iOpen = session.Open();
        if (iOpen != USB_OK)
            return iOpen == USB_NO_MODEL ? iOpen : LogUsbError(iOpen);
        iTransferred = session.Control(req, pData);
        return iTransferred < 0 ? LogUsbError(iTransferred) : USB_OK;
    } catch (const std::exception &) {
        return LogUsbError(USB_EXCEPTION);
    }
}
}  // namespace

bool GetPrinterVidPid(const QString &strPort, int &iVID, int &iPID)
{
    const stModelInfo *pRow = FindModelByPort(strPort);
    if (!pRow)
        return false;
    iVID = pRow->iVID;
    iPID = pRow->iPID;
    return true;
}

UsbPrinterSession::~UsbPrinterSession()
{
    if (m_bClaimed)
        libusb_release_interface(m_pHandle, c_iUsbInterface);
    if (m_pHandle)
        libusb_close(m_pHandle);
}

int UsbPrinterSession::Open()
{
    int iVID = 0;
    int iPID = 0;
    if (!GetPrinterVidPid(m_strPort, iVID, iPID))
        return USB_NO_MODEL;
    m_pContext = SharedContext();
    if (!m_pContext)
        return USB_INIT_FAILED;
    const int iFound = FindDevice(iVID, iPID);
    if (iFound != USB_OK)
        return iFound;
    ClaimInterface();
    return m_bClaimed ? USB_OK : USB_CLAIM_FAILED;
}

int UsbPrinterSession::FindDevice(int iVID, int iPID)
{
    libusb_device **ppList = nullptr;
    const ssize_t iCount = libusb_get_device_list(m_pContext, &ppList);
    if (iCount < 0)
        return USB_LIST_FAILED;
    int iLast = LIBUSB_ERROR_NOT_FOUND;  // an empty list counts as a failed walk
    int iResult = USB_OK;
    for (ssize_t i = 0; i < iCount && !m_pHandle; ++i) {
        libusb_device_descriptor desc;
        iLast = libusb_get_device_descriptor(ppList[i], &desc);
        if (iLast < 0) {
            iResult = USB_DESCRIPTOR_FAILED;
            break;
        }
        if (desc.idVendor != iVID || desc.idProduct != iPID)
            continue;
        libusb_device_handle *pHandle = nullptr;
        iLast = libusb_open(ppList[i], &pHandle);
        if (iLast < 0)
            continue;
        QString strSerial;
        iLast = ReadSerial(pHandle, desc.iSerialNumber, strSerial);
        if (iLast >= 0 && SerialMatches(strSerial)) {
            m_pHandle = pHandle;
            break;
        }
        libusb_close(pHandle);
    }
    libusb_free_device_list(ppList, 1);
    if (iResult != USB_OK || m_pHandle)
        return iResult;
    return iLast < 0 ? USB_DESCRIPTOR_FAILED : USB_NO_DEVICE;
}

// libusb ends the text within the buffer, so the whole buffer leaves room for 63 characters.
int UsbPrinterSession::ReadSerial(libusb_device_handle *pHandle, unsigned char ucSerialIndex, QString &strSerial)
{
    unsigned char szSerial[c_iUsbSerialBuffer] = {};
    const int iLength = libusb_get_string_descriptor_ascii(pHandle, ucSerialIndex, szSerial, sizeof(szSerial));
    if (iLength >= 0)
        strSerial = QString::fromLatin1(reinterpret_cast<const char *>(szSerial), qMin(iLength, c_iUsbSerialBuffer - 1));
    return iLength;
}

bool UsbPrinterSession::SerialMatches(const QString &strDevice) const
{
    const QString strWanted = SerialOfPort(m_strPort);
    return strDevice.left(strWanted.size()).compare(strWanted, Qt::CaseInsensitive) == 0;
}

void UsbPrinterSession::ClaimInterface()
{
    if (libusb_kernel_driver_active(m_pHandle, c_iUsbInterface) == 1 &&
        libusb_detach_kernel_driver(m_pHandle, c_iUsbInterface) == LIBUSB_SUCCESS)
        LOG_WRITE("1");
    m_bClaimed = libusb_claim_interface(m_pHandle, c_iUsbInterface) == LIBUSB_SUCCESS;
}

int UsbPrinterSession::Control(const stUsbRequest &req, unsigned char *pData)
{
    return libusb_control_transfer(m_pHandle, req.ucRequestType, req.ucRequest, req.usValue, req.usIndex, pData,
                                   req.usLength, c_iUsbControlTimeoutMs);
}

int GetPrinterStatusUSB(const QString &strPort, enStatusFamily enFamily, QByteArray &baStatus)
{
    const stUsbRequest &req = enFamily == FAMILY_KQ ? c_stKQStatus : c_stStandardStatus;
    QByteArray baBuffer(int(c_ulStatusPrefix) + req.usLength, '\0');
    int iTransferred = 0;
    const int iCode = UsbExchange(strPort, req, reinterpret_cast<unsigned char *>(baBuffer.data()) + c_ulStatusPrefix,
                                  iTransferred);
    if (iCode != USB_OK)
        return iCode;
    baBuffer.truncate(int(c_ulStatusPrefix) + iTransferred);
    if (enFamily == FAMILY_KQ && CheckPrinterStatus_USB_KQ(baBuffer) != QUERY_OK)
        return QUERY_BAD_ADDRESS;
    baStatus = baBuffer;
    return USB_OK;
}

int CancelPrinterJob(const QString &strPort)
{
    unsigned char szBuffer[c_iUsbCancelLength] = {};
    int iTransferred = 0;
    const int iCode = UsbExchange(strPort, c_stCancelJob, szBuffer, iTransferred);
    return iCode == USB_OK ? iTransferred : iCode;
}

const char *DescribeUsbResult(int iCode)
{
    switch (iCode) {
    case USB_NO_MODEL: return "no catalogue row for the address, or the reply was rejected";
    case USB_INIT_FAILED: return "no libusb context";
    case USB_LIST_FAILED: return "the USB device list could not be read";
    case USB_DESCRIPTOR_FAILED: return "a descriptor or serial number could not be read";
    case USB_NO_DEVICE: return "the printer is not attached";
    case USB_CLAIM_FAILED: return "interface 0 could not be claimed";
    case USB_EXCEPTION: return "an exception in the USB exchange";
    default: return libusb_error_name(iCode);
    }
}
}  // namespace service
