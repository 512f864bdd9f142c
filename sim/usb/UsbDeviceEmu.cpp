#include "UsbDeviceEmu.h"

#include <QMutex>
#include <QMutexLocker>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <list>
#include <stdexcept>

#include "UsbTestbed.h"

void GObjectUnref::operator()(void *p) const
{
    g_object_unref(p);
}

namespace
{
using DataRef = std::unique_ptr<UMockdevIoctlData, GObjectUnref>;
using ClientRef = std::unique_ptr<UMockdevIoctlClient, GObjectUnref>;

constexpr unsigned char c_ucDescDevice = 1;
constexpr unsigned char c_ucDescConfig = 2;
constexpr unsigned char c_ucDescString = 3;
constexpr unsigned char c_ucDescInterface = 4;
constexpr unsigned char c_ucDescEndpoint = 5;
constexpr unsigned char c_ucDeviceDescLength = 18;
constexpr unsigned char c_ucConfigDescLength = 9;
constexpr unsigned char c_ucInterfaceDescLength = 9;
constexpr unsigned char c_ucEndpointDescLength = 7;
constexpr unsigned short c_usUsb20 = 0x0200;
constexpr unsigned char c_ucMaxPacket0 = 64;
constexpr unsigned char c_ucSelfPowered = 0xC0;
constexpr unsigned char c_ucPower100mA = 50;
constexpr int c_iEndpointsMax = 30;

constexpr unsigned char c_ucDirIn = 0x80;
constexpr unsigned char c_ucRecipientMask = 0x1F;
constexpr unsigned char c_ucRecipientInterface = 1;
constexpr unsigned char c_ucGetDescriptorType = 0x80;
constexpr unsigned char c_ucGetDescriptor = 0x06;
constexpr unsigned short c_usLanguageEnglishUs = 0x0409;
constexpr int c_iStringMax = 126;  // the length byte of a descriptor holds 2 + 2 * 126

constexpr int c_iSetupLength = 8;
constexpr unsigned int c_uControlDataMax = 4096;        // usbfs refuses more than a page
constexpr unsigned int c_uBulkDataMax = 16 * 1024 * 1024;  // the default usbfs memory limit
// One URB per bulk transfer, as libusb then never splits a transfer.
constexpr unsigned int c_uCapabilities = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

constexpr int c_iUsbDeviceMajor = 189;
constexpr const char *c_szHighSpeedMbps = "480";
constexpr int c_iAddressesPerBus = 128;
constexpr unsigned int c_uInterface = 0;

enum enStringIndex
{
    STRING_LANGUAGES = 0,
    STRING_MANUFACTURER,
    STRING_PRODUCT,
    STRING_SERIAL,
};

void AppendByte(QByteArray &ba, unsigned int u)
{
    ba.append(char(u & 0xFF));
}

void AppendWord(QByteArray &ba, unsigned int u)
{
    AppendByte(ba, u);
    AppendByte(ba, u >> 8);
}

unsigned char StringIndex(const QString &str, enStringIndex enIndex)
{
    return str.isEmpty() ? 0 : enIndex;
}

QByteArray DeviceDescriptor(const stUsbDeviceInfo &stInfo)
{
    QByteArray ba;
    AppendByte(ba, c_ucDeviceDescLength);
    AppendByte(ba, c_ucDescDevice);
    AppendWord(ba, c_usUsb20);
    AppendByte(ba, 0);  // the class lives on the interface
    AppendByte(ba, 0);
    AppendByte(ba, 0);
    AppendByte(ba, c_ucMaxPacket0);
    AppendWord(ba, stInfo.usVendor);
    AppendWord(ba, stInfo.usProduct);
    AppendWord(ba, stInfo.usRelease);
    AppendByte(ba, StringIndex(stInfo.strManufacturer, STRING_MANUFACTURER));
    AppendByte(ba, StringIndex(stInfo.strProduct, STRING_PRODUCT));
    AppendByte(ba, StringIndex(stInfo.strSerial, STRING_SERIAL));
    AppendByte(ba, 1);  // configurations
    return ba;
}

QByteArray InterfaceDescriptor(const stUsbDeviceInfo &stInfo)
{
    QByteArray ba;
    AppendByte(ba, c_ucInterfaceDescLength);
    AppendByte(ba, c_ucDescInterface);
    AppendByte(ba, c_uInterface);
    AppendByte(ba, 0);  // alternate setting
    AppendByte(ba, stInfo.vecEndpoints.size());
    AppendByte(ba, stInfo.ucInterfaceClass);
    AppendByte(ba, stInfo.ucInterfaceSubClass);
    AppendByte(ba, stInfo.ucInterfaceProtocol);
    AppendByte(ba, 0);  // no interface string
    for (const stUsbEndpoint &ep : stInfo.vecEndpoints) {
        AppendByte(ba, c_ucEndpointDescLength);
        AppendByte(ba, c_ucDescEndpoint);
        AppendByte(ba, ep.ucAddress);
        AppendByte(ba, ep.ucAttributes);
        AppendWord(ba, ep.usMaxPacket);
        AppendByte(ba, 0);  // interval, unused for bulk
    }
    return ba;
}

QByteArray ConfigurationDescriptor(const stUsbDeviceInfo &stInfo)
{
    const QByteArray baInterface = InterfaceDescriptor(stInfo);
    QByteArray ba;
    AppendByte(ba, c_ucConfigDescLength);
    AppendByte(ba, c_ucDescConfig);
    AppendWord(ba, c_ucConfigDescLength + baInterface.size());
    AppendByte(ba, 1);  // interfaces
    AppendByte(ba, 1);  // bConfigurationValue
    AppendByte(ba, 0);  // no configuration string
    AppendByte(ba, c_ucSelfPowered);
    AppendByte(ba, c_ucPower100mA);
    return ba + baInterface;
}

QByteArray StringDescriptor(const QString &str)
{
    const QString strBounded = str.left(c_iStringMax);
    QByteArray ba;
    AppendByte(ba, 2 + 2 * strBounded.size());
    AppendByte(ba, c_ucDescString);
    for (const QChar c : strBounded)
        AppendWord(ba, c.unicode());
    return ba;
}

// Record lines end at a newline and a backslash starts an escape, so only plain
// printable ASCII goes into a sysfs attribute.
QString RecordText(const QString &str)
{
    QString strOut;
    for (const QChar c : str.left(c_iStringMax)) {
        const bool bPlain = c.unicode() >= 0x20 && c.unicode() < 0x7F && c != QLatin1Char('\\');
        strOut += bPlain ? c : QLatin1Char('_');
    }
    return strOut;
}

// A sysfs text attribute ends in a newline, as the kernel writes it; libusb warns otherwise.
QString Attribute(const char *szName, const QString &strValue)
{
    return QStringLiteral("A: %1=%2\\n\n").arg(QLatin1String(szName), strValue);
}

// The kernel leaves out the file of a string the device does not have.
QString StringAttribute(const char *szName, const QString &strValue)
{
    return strValue.isEmpty() ? QString() : Attribute(szName, RecordText(strValue));
}

QString HexWord(unsigned int u)
{
    return QString::asprintf("%04x", u);
}

QString NodeName(int iBus, int iDevnum)
{
    return QString::asprintf("bus/usb/%03d/%03d", iBus, iDevnum);
}

QString DeviceRecord(const stUsbDeviceInfo &stInfo, int iBus, int iDevnum, const QString &strSysPath,
                     const QByteArray &baDescriptors)
{
    const QString strNode = NodeName(iBus, iDevnum);
    const QString strHex = QString::fromLatin1(baDescriptors.toHex().toUpper());
    const int iMinor = (iBus - 1) * c_iAddressesPerBus + iDevnum - 1;
    QString str = QStringLiteral("P: %1\n").arg(strSysPath.mid(int(std::strlen("/sys"))));
    str += QStringLiteral("N: %1=%2\n").arg(strNode, strHex);
    str += QStringLiteral("E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n");
    str += QStringLiteral("E: DEVNAME=/dev/%1\n").arg(strNode);
    str += QString::asprintf("E: BUSNUM=%03d\nE: DEVNUM=%03d\n", iBus, iDevnum);
    str += QString::asprintf("E: MAJOR=%d\nE: MINOR=%d\n", c_iUsbDeviceMajor, iMinor);
    str += Attribute("busnum", QString::number(iBus)) + Attribute("devnum", QString::number(iDevnum));
    str += Attribute("speed", QLatin1String(c_szHighSpeedMbps));
    str += Attribute("idVendor", HexWord(stInfo.usVendor)) + Attribute("idProduct", HexWord(stInfo.usProduct));
    str += Attribute("bcdDevice", HexWord(stInfo.usRelease));
    str += StringAttribute("manufacturer", stInfo.strManufacturer);
    str += StringAttribute("product", stInfo.strProduct);
    str += StringAttribute("serial", stInfo.strSerial);
    str += Attribute("bConfigurationValue", QStringLiteral("1"));
    str += Attribute("bNumConfigurations", QStringLiteral("1"));
    str += Attribute("bNumInterfaces", QStringLiteral(" 1"));
    str += QString::asprintf("A: dev=%d:%d\n", c_iUsbDeviceMajor, iMinor);
    str += QStringLiteral("H: descriptors=%1\n").arg(strHex);
    return str;
}

bool IsIn(const stUsbEmuEvent &ev)
{
    return ev.enKind == EMU_CONTROL ? (ev.ucRequestType & c_ucDirIn) != 0 : (ev.ucEndpoint & c_ucDirIn) != 0;
}

int ErrnoOf(enUsbEmuOutcome enOutcome)
{
    switch (enOutcome) {
    case EMU_ANSWER:
        return 0;
    case EMU_TIMEOUT:
        return ETIMEDOUT;
    case EMU_STALL:
        return EPIPE;
    case EMU_GONE:
        return ENODEV;
    }
    return EIO;
}

// The pointer at uOffset of pParent, as a local copy of uLength bytes; null for a null
// pointer or no length.
DataRef Resolve(UMockdevIoctlData *pParent, size_t uOffset, size_t uLength)
{
    GError *pError = nullptr;
    DataRef data(umockdev_ioctl_data_resolve(pParent, uOffset, uLength, &pError));
    if (pError)
        g_error_free(pError);
    return data;
}

QByteArray BytesOf(const UMockdevIoctlData *pData, int iOffset, int iLength)
{
    if (!pData || iLength <= 0)
        return {};
    return QByteArray(reinterpret_cast<const char *>(pData->data) + iOffset, iLength);
}

// Copies as much of the reply as fits; the count is what the host sees as transferred.
int CopyIn(UMockdevIoctlData *pData, int iOffset, const QByteArray &baIn, int iRoom)
{
    const int iCount = std::min(baIn.size(), iRoom);
    if (!pData || iCount <= 0)
        return 0;
    std::memcpy(pData->data + iOffset, baIn.constData(), size_t(iCount));
    return iCount;
}

gboolean Finish(UMockdevIoctlClient *pClient, long lResult, int iErrno)
{
    umockdev_ioctl_client_complete(pClient, lResult, iErrno);
    return TRUE;
}

gboolean Fail(UMockdevIoctlClient *pClient, int iErrno)
{
    return Finish(pClient, -1, iErrno);
}

stUsbEmuEvent SetupEvent(const unsigned char *pSetup)
{
    stUsbEmuEvent ev;
    ev.enKind = EMU_CONTROL;
    ev.ucRequestType = pSetup[0];
    ev.ucRequest = pSetup[1];
    ev.usValue = static_cast<unsigned short>(pSetup[2] | pSetup[3] << 8);
    ev.usIndex = static_cast<unsigned short>(pSetup[4] | pSetup[5] << 8);
    ev.uLength = static_cast<unsigned int>(pSetup[6] | pSetup[7] << 8);
    return ev;
}

stUsbEmuEvent EndpointEvent(enUsbEmuEvent enKind, unsigned int uEndpoint)
{
    stUsbEmuEvent ev;
    ev.enKind = enKind;
    ev.ucEndpoint = static_cast<unsigned char>(uEndpoint);
    return ev;
}

// A URB the host submitted and has not reaped yet. Its answer is decided at submission
// and copied into the host's memory when the host reaps it, as the kernel does.
struct stPendingUrb
{
    ClientRef pClient;
    DataRef pUrb;
    DataRef pBuffer;
    int iDataOffset = 0;  // a control URB's buffer starts with the setup packet
    bool bIn = false;
    bool bDone = false;  // false: the device is still silent
    int iStatus = 0;
    QByteArray baIn;
};
}  // namespace

// The device's side of every ioctl. Everything but the event record and the pending
// URBs runs on the testbed's worker thread only.
class UsbEmuHandler
{
public:
    UsbEmuHandler(const stUsbDeviceInfo &stInfo, UsbEmuResponder responder);

    gboolean HandleIoctl(UMockdevIoctlClient *pClient);
    gboolean HandleRead(UMockdevIoctlClient *pClient);

    QByteArray Descriptors() const { return m_baDevice + m_baConfig; }
    bool Unplug() { return !m_bUnplugged.exchange(true); }
    QVector<stUsbEmuEvent> Events() const;
    // Pending URBs hold their connection, which holds this handler: dropping them
    // breaks the cycle when the device goes.
    void DropPending();

private:
    gboolean Dispatch(UMockdevIoctlClient *pClient, gulong ulRequest, UMockdevIoctlData *pArg);
    gboolean Capabilities(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean SubmitUrb(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean ReapUrb(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean DiscardUrb(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean Claim(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg, enUsbEmuEvent enKind);
    gboolean GetDriver(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean DriverIoctl(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean Control(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean Bulk(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg);
    gboolean EndpointReset(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg, enUsbEmuEvent enKind);
    gboolean DeviceReset(UMockdevIoctlClient *pClient);

    int UrbEvent(const usbdevfs_urb &urb, const UMockdevIoctlData *pBuffer, stUsbEmuEvent &ev) const;
    int ControlUrbEvent(const usbdevfs_urb &urb, const UMockdevIoctlData *pBuffer, stUsbEmuEvent &ev) const;
    void FillUrb(stPendingUrb &stPending) const;
    void DropVanishedClients();

    bool HasEndpoint(unsigned int uAddress) const;
    bool Blocked(const stUsbEmuEvent &ev) const;
    stUsbEmuReply Answer(const stUsbEmuEvent &ev);
    stUsbEmuReply DescriptorReply(const stUsbEmuEvent &ev) const;
    QByteArray StringReply(unsigned int uIndex) const;
    void Record(const stUsbEmuEvent &ev);

    const stUsbDeviceInfo m_stInfo;
    const QByteArray m_baDevice;
    const QByteArray m_baConfig;
    const UsbEmuResponder m_responder;
    std::atomic<bool> m_bUnplugged{false};
    bool m_bDriverBound;
    QMutex m_mutexPending;  // guards m_listPending, dropped by the test thread at the end
    std::list<stPendingUrb> m_listPending;
    mutable QMutex m_mutex;  // guards m_dequeEvents, read by the test thread
    std::deque<stUsbEmuEvent> m_dequeEvents;
};

UsbEmuHandler::UsbEmuHandler(const stUsbDeviceInfo &stInfo, UsbEmuResponder responder)
    : m_stInfo(stInfo),
      m_baDevice(DeviceDescriptor(stInfo)),
      m_baConfig(ConfigurationDescriptor(stInfo)),
      m_responder(std::move(responder)),
      m_bDriverBound(!stInfo.strKernelDriver.isEmpty())
{
}

gboolean UsbEmuHandler::HandleIoctl(UMockdevIoctlClient *pClient)
{
    if (m_bUnplugged)
        return Fail(pClient, ENODEV);
    return Dispatch(pClient, umockdev_ioctl_client_get_request(pClient), umockdev_ioctl_client_get_arg(pClient));
}

// Reads fall through to the node's contents, which are the descriptors, as usbfs gives.
gboolean UsbEmuHandler::HandleRead(UMockdevIoctlClient *pClient)
{
    return m_bUnplugged ? Fail(pClient, ENODEV) : FALSE;
}

gboolean UsbEmuHandler::Dispatch(UMockdevIoctlClient *pClient, gulong ulRequest, UMockdevIoctlData *pArg)
{
    switch (ulRequest) {
    case USBDEVFS_GET_CAPABILITIES:
        return Capabilities(pClient, pArg);
    case USBDEVFS_SUBMITURB:
        return SubmitUrb(pClient, pArg);
    case USBDEVFS_REAPURBNDELAY:
        return ReapUrb(pClient, pArg);
    case USBDEVFS_DISCARDURB:
        return DiscardUrb(pClient, pArg);
    case USBDEVFS_CLAIMINTERFACE:
        return Claim(pClient, pArg, EMU_CLAIM);
    case USBDEVFS_RELEASEINTERFACE:
        return Claim(pClient, pArg, EMU_RELEASE);
    case USBDEVFS_GETDRIVER:
        return GetDriver(pClient, pArg);
    case USBDEVFS_IOCTL:
        return DriverIoctl(pClient, pArg);
    case USBDEVFS_CONTROL:
        return Control(pClient, pArg);
    case USBDEVFS_BULK:
        return Bulk(pClient, pArg);
    case USBDEVFS_RESETEP:
        return EndpointReset(pClient, pArg, EMU_RESET_ENDPOINT);
    case USBDEVFS_CLEAR_HALT:
        return EndpointReset(pClient, pArg, EMU_CLEAR_HALT);
    case USBDEVFS_RESET:
        return DeviceReset(pClient);
    default:
        return FALSE;  // umockdev answers ENOTTY
    }
}

gboolean UsbEmuHandler::Capabilities(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    DataRef caps = Resolve(pArg, 0, sizeof(guint32));
    if (!caps)
        return Fail(pClient, EFAULT);
    *reinterpret_cast<guint32 *>(caps->data) = c_uCapabilities;
    return Finish(pClient, 0, 0);
}

gboolean UsbEmuHandler::SubmitUrb(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    DropVanishedClients();
    DataRef urb = Resolve(pArg, 0, sizeof(usbdevfs_urb));
    if (!urb)
        return Fail(pClient, EFAULT);
    const usbdevfs_urb stUrb = *reinterpret_cast<const usbdevfs_urb *>(urb->data);
    if (stUrb.buffer_length < 0 || unsigned(stUrb.buffer_length) > c_uBulkDataMax)
        return Fail(pClient, EINVAL);
    DataRef buffer = Resolve(urb.get(), offsetof(usbdevfs_urb, buffer), size_t(stUrb.buffer_length));
    stUsbEmuEvent ev;
    const int iError = UrbEvent(stUrb, buffer.get(), ev);
    if (iError != 0)
        return Fail(pClient, iError);
    if (Blocked(ev))
        return Fail(pClient, EBUSY);
    const stUsbEmuReply stReply = Answer(ev);
    if (stReply.enOutcome == EMU_GONE)
        return Fail(pClient, ENODEV);

    stPendingUrb stPending;
    stPending.pClient.reset(static_cast<UMockdevIoctlClient *>(g_object_ref(pClient)));
    stPending.pUrb = std::move(urb);
    stPending.pBuffer = std::move(buffer);
    stPending.iDataOffset = ev.enKind == EMU_CONTROL ? c_iSetupLength : 0;
    stPending.bIn = IsIn(ev);
    stPending.bDone = stReply.enOutcome != EMU_TIMEOUT;
    stPending.iStatus = -ErrnoOf(stReply.enOutcome);
    stPending.baIn = stReply.baIn;
    QMutexLocker lock(&m_mutexPending);
    m_listPending.push_back(std::move(stPending));
    return Finish(pClient, 0, 0);
}

int UsbEmuHandler::UrbEvent(const usbdevfs_urb &urb, const UMockdevIoctlData *pBuffer, stUsbEmuEvent &ev) const
{
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL)
        return ControlUrbEvent(urb, pBuffer, ev);
    if (urb.type != USBDEVFS_URB_TYPE_BULK)
        return EINVAL;
    if (!HasEndpoint(urb.endpoint))
        return ENOENT;
    ev.enKind = EMU_BULK;
    ev.ucEndpoint = urb.endpoint;
    ev.uLength = unsigned(urb.buffer_length);
    if (!IsIn(ev))
        ev.baOut = BytesOf(pBuffer, 0, urb.buffer_length);
    return 0;
}

int UsbEmuHandler::ControlUrbEvent(const usbdevfs_urb &urb, const UMockdevIoctlData *pBuffer, stUsbEmuEvent &ev) const
{
    if (!pBuffer || urb.buffer_length < c_iSetupLength)
        return EINVAL;
    ev = SetupEvent(pBuffer->data);
    if (ev.uLength > unsigned(urb.buffer_length - c_iSetupLength))
        return EINVAL;
    if (!IsIn(ev))
        ev.baOut = BytesOf(pBuffer, c_iSetupLength, int(ev.uLength));
    return 0;
}

gboolean UsbEmuHandler::ReapUrb(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    QMutexLocker lock(&m_mutexPending);
    const auto it = std::find_if(m_listPending.begin(), m_listPending.end(), [pClient](const stPendingUrb &st) {
        return st.pClient.get() == pClient && st.bDone;
    });
    if (it == m_listPending.end())
        return Fail(pClient, EAGAIN);
    DataRef urbPointer = Resolve(pArg, 0, sizeof(void *));
    if (!urbPointer)
        return Fail(pClient, EFAULT);
    FillUrb(*it);
    umockdev_ioctl_data_set_ptr(urbPointer.get(), 0, it->pUrb.get());
    m_listPending.erase(it);
    return Finish(pClient, 0, 0);
}

void UsbEmuHandler::FillUrb(stPendingUrb &stPending) const
{
    auto *pUrb = reinterpret_cast<usbdevfs_urb *>(stPending.pUrb->data);
    const int iRoom = pUrb->buffer_length - stPending.iDataOffset;
    pUrb->status = stPending.iStatus;
    if (stPending.iStatus != 0)
        pUrb->actual_length = 0;
    else if (stPending.bIn)
        pUrb->actual_length = CopyIn(stPending.pBuffer.get(), stPending.iDataOffset, stPending.baIn, iRoom);
    else
        pUrb->actual_length = iRoom;
}

// The host gave up on a URB the device never answered; the kernel hands it back as
// cancelled, which libusb reports as its own timeout.
gboolean UsbEmuHandler::DiscardUrb(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    const gulong ulUrb = *reinterpret_cast<const gulong *>(pArg->data);
    QMutexLocker lock(&m_mutexPending);
    const auto it = std::find_if(m_listPending.begin(), m_listPending.end(), [pClient, ulUrb](const stPendingUrb &st) {
        return st.pClient.get() == pClient && st.pUrb->client_addr == ulUrb;
    });
    if (it == m_listPending.end() || it->bDone)
        return Fail(pClient, EINVAL);
    it->bDone = true;
    it->iStatus = -ENOENT;
    return Finish(pClient, 0, 0);
}

void UsbEmuHandler::DropVanishedClients()
{
    QMutexLocker lock(&m_mutexPending);
    m_listPending.remove_if(
        [](const stPendingUrb &st) { return !umockdev_ioctl_client_get_connected(st.pClient.get()); });
}

gboolean UsbEmuHandler::Claim(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg, enUsbEmuEvent enKind)
{
    DataRef interfaceNumber = Resolve(pArg, 0, sizeof(unsigned int));
    if (!interfaceNumber)
        return Fail(pClient, EFAULT);
    const unsigned int uInterface = *reinterpret_cast<const unsigned int *>(interfaceNumber->data);
    if (uInterface != c_uInterface)
        return Fail(pClient, ENOENT);
    if (enKind == EMU_CLAIM && m_bDriverBound)
        return Fail(pClient, EBUSY);
    stUsbEmuEvent ev;
    ev.enKind = enKind;
    ev.usIndex = static_cast<unsigned short>(uInterface);
    Record(ev);
    return Finish(pClient, 0, 0);
}

gboolean UsbEmuHandler::GetDriver(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    DataRef driver = Resolve(pArg, 0, sizeof(usbdevfs_getdriver));
    if (!driver)
        return Fail(pClient, EFAULT);
    auto *pDriver = reinterpret_cast<usbdevfs_getdriver *>(driver->data);
    if (pDriver->interface != c_uInterface || !m_bDriverBound)
        return Fail(pClient, ENODATA);
    const QByteArray baName = m_stInfo.strKernelDriver.toLatin1().left(USBDEVFS_MAXDRIVERNAME);
    std::memset(pDriver->driver, 0, sizeof(pDriver->driver));
    std::memcpy(pDriver->driver, baName.constData(), size_t(baName.size()));
    return Finish(pClient, 0, 0);
}

// Only the disconnect of the kernel driver goes through here; the driver stays away
// until the device is plugged in again.
gboolean UsbEmuHandler::DriverIoctl(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    DataRef command = Resolve(pArg, 0, sizeof(usbdevfs_ioctl));
    if (!command)
        return Fail(pClient, EFAULT);
    const auto *pCommand = reinterpret_cast<const usbdevfs_ioctl *>(command->data);
    if (pCommand->ifno != int(c_uInterface))
        return Fail(pClient, EINVAL);
    if (unsigned(pCommand->ioctl_code) != USBDEVFS_DISCONNECT)
        return Fail(pClient, ENOTTY);
    if (!m_bDriverBound)
        return Fail(pClient, ENODATA);
    m_bDriverBound = false;
    stUsbEmuEvent ev;
    ev.enKind = EMU_DETACH_DRIVER;
    Record(ev);
    return Finish(pClient, 0, 0);
}

gboolean UsbEmuHandler::Control(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    DataRef transfer = Resolve(pArg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!transfer)
        return Fail(pClient, EFAULT);
    const usbdevfs_ctrltransfer stCtrl = *reinterpret_cast<const usbdevfs_ctrltransfer *>(transfer->data);
    if (stCtrl.wLength > c_uControlDataMax)
        return Fail(pClient, EINVAL);
    DataRef data = Resolve(transfer.get(), offsetof(usbdevfs_ctrltransfer, data), stCtrl.wLength);
    if (stCtrl.wLength > 0 && !data)
        return Fail(pClient, EFAULT);
    const unsigned char szSetup[c_iSetupLength] = {stCtrl.bRequestType,         stCtrl.bRequest,
                                                   uint8_t(stCtrl.wValue),      uint8_t(stCtrl.wValue >> 8),
                                                   uint8_t(stCtrl.wIndex),      uint8_t(stCtrl.wIndex >> 8),
                                                   uint8_t(stCtrl.wLength),     uint8_t(stCtrl.wLength >> 8)};
    stUsbEmuEvent ev = SetupEvent(szSetup);
    if (!IsIn(ev))
        ev.baOut = BytesOf(data.get(), 0, stCtrl.wLength);
    if (Blocked(ev))
        return Fail(pClient, EBUSY);
    const stUsbEmuReply stReply = Answer(ev);
    if (stReply.enOutcome != EMU_ANSWER)
        return Fail(pClient, ErrnoOf(stReply.enOutcome));
    const int iCount = IsIn(ev) ? CopyIn(data.get(), 0, stReply.baIn, stCtrl.wLength) : stCtrl.wLength;
    return Finish(pClient, iCount, 0);
}

gboolean UsbEmuHandler::Bulk(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg)
{
    DataRef transfer = Resolve(pArg, 0, sizeof(usbdevfs_bulktransfer));
    if (!transfer)
        return Fail(pClient, EFAULT);
    const usbdevfs_bulktransfer stBulk = *reinterpret_cast<const usbdevfs_bulktransfer *>(transfer->data);
    if (!HasEndpoint(stBulk.ep))
        return Fail(pClient, ENOENT);
    if (stBulk.len > c_uBulkDataMax)
        return Fail(pClient, ENOMEM);
    DataRef data = Resolve(transfer.get(), offsetof(usbdevfs_bulktransfer, data), stBulk.len);
    if (stBulk.len > 0 && !data)
        return Fail(pClient, EFAULT);
    stUsbEmuEvent ev = EndpointEvent(EMU_BULK, stBulk.ep);
    ev.uLength = stBulk.len;
    if (!IsIn(ev))
        ev.baOut = BytesOf(data.get(), 0, int(stBulk.len));
    if (Blocked(ev))
        return Fail(pClient, EBUSY);
    const stUsbEmuReply stReply = Answer(ev);
    if (stReply.enOutcome != EMU_ANSWER)
        return Fail(pClient, ErrnoOf(stReply.enOutcome));
    const int iCount = IsIn(ev) ? CopyIn(data.get(), 0, stReply.baIn, int(stBulk.len)) : int(stBulk.len);
    return Finish(pClient, iCount, 0);
}

gboolean UsbEmuHandler::EndpointReset(UMockdevIoctlClient *pClient, UMockdevIoctlData *pArg, enUsbEmuEvent enKind)
{
    DataRef endpoint = Resolve(pArg, 0, sizeof(unsigned int));
    if (!endpoint)
        return Fail(pClient, EFAULT);
    const unsigned int uEndpoint = *reinterpret_cast<const unsigned int *>(endpoint->data);
    if (!HasEndpoint(uEndpoint))
        return Fail(pClient, ENOENT);
    Record(EndpointEvent(enKind, uEndpoint));
    return Finish(pClient, 0, 0);
}

gboolean UsbEmuHandler::DeviceReset(UMockdevIoctlClient *pClient)
{
    stUsbEmuEvent ev;
    ev.enKind = EMU_RESET_DEVICE;
    Record(ev);
    return Finish(pClient, 0, 0);
}

bool UsbEmuHandler::HasEndpoint(unsigned int uAddress) const
{
    return std::any_of(m_stInfo.vecEndpoints.begin(), m_stInfo.vecEndpoints.end(),
                       [uAddress](const stUsbEndpoint &ep) { return ep.ucAddress == uAddress; });
}

// While a kernel driver holds the interface, usbfs cannot claim it for the host.
bool UsbEmuHandler::Blocked(const stUsbEmuEvent &ev) const
{
    if (!m_bDriverBound)
        return false;
    return ev.enKind == EMU_BULK || (ev.ucRequestType & c_ucRecipientMask) == c_ucRecipientInterface;
}

stUsbEmuReply UsbEmuHandler::Answer(const stUsbEmuEvent &ev)
{
    Record(ev);
    const bool bDescriptor = ev.enKind == EMU_CONTROL && ev.ucRequestType == c_ucGetDescriptorType &&
                             ev.ucRequest == c_ucGetDescriptor;
    return bDescriptor ? DescriptorReply(ev) : m_responder(ev);
}

stUsbEmuReply UsbEmuHandler::DescriptorReply(const stUsbEmuEvent &ev) const
{
    const unsigned int uType = ev.usValue >> 8;
    const unsigned int uIndex = ev.usValue & 0xFF;
    QByteArray ba;
    if (uType == c_ucDescDevice)
        ba = m_baDevice;
    else if (uType == c_ucDescConfig && uIndex == 0)
        ba = m_baConfig;
    else if (uType == c_ucDescString)
        ba = StringReply(uIndex);
    if (ba.isEmpty())
        return {EMU_STALL, {}};
    return {EMU_ANSWER, ba.left(int(ev.uLength))};
}

QByteArray UsbEmuHandler::StringReply(unsigned int uIndex) const
{
    switch (uIndex) {
    case STRING_LANGUAGES: {
        QByteArray ba;
        AppendByte(ba, 4);
        AppendByte(ba, c_ucDescString);
        AppendWord(ba, c_usLanguageEnglishUs);
        return ba;
    }
    case STRING_MANUFACTURER:
        return m_stInfo.strManufacturer.isEmpty() ? QByteArray() : StringDescriptor(m_stInfo.strManufacturer);
    case STRING_PRODUCT:
        return m_stInfo.strProduct.isEmpty() ? QByteArray() : StringDescriptor(m_stInfo.strProduct);
    case STRING_SERIAL:
        return m_stInfo.strSerial.isEmpty() ? QByteArray() : StringDescriptor(m_stInfo.strSerial);
    default:
        return {};
    }
}

void UsbEmuHandler::DropPending()
{
    QMutexLocker lock(&m_mutexPending);
    m_listPending.clear();
}

void UsbEmuHandler::Record(const stUsbEmuEvent &ev)
{
    QMutexLocker lock(&m_mutex);
    m_dequeEvents.push_back(ev);
    m_dequeEvents.back().baOut.truncate(c_iRecordedDataMax);
    if (m_dequeEvents.size() > size_t(c_iRecordedEventsMax))
        m_dequeEvents.pop_front();
}

QVector<stUsbEmuEvent> UsbEmuHandler::Events() const
{
    QMutexLocker lock(&m_mutex);
    return QVector<stUsbEmuEvent>(m_dequeEvents.begin(), m_dequeEvents.end());
}

namespace
{
using HandlerRef = std::shared_ptr<UsbEmuHandler>;

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *pClient, gpointer pData)
{
    return (*static_cast<HandlerRef *>(pData))->HandleIoctl(pClient);
}

gboolean OnRead(UMockdevIoctlBase *, UMockdevIoctlClient *pClient, gpointer pData)
{
    return (*static_cast<HandlerRef *>(pData))->HandleRead(pClient);
}

// Each signal connection holds a reference to the handler, which GLib drops only after
// a call in progress has returned: a client still inside a call when the device object
// goes finds its handler alive.
void ReleaseHandler(gpointer pData, GClosure *)
{
    delete static_cast<HandlerRef *>(pData);
}
}  // namespace

UsbDeviceEmu::UsbDeviceEmu(UsbTestbed &testbed, const stUsbDeviceInfo &stInfo, UsbEmuResponder responder)
    : m_pTestbed(static_cast<UMockdevTestbed *>(g_object_ref(testbed.Handle()))),
      m_pIoctl(umockdev_ioctl_base_new()),
      m_pHandler(std::make_shared<UsbEmuHandler>(stInfo, std::move(responder))),
      m_iBus(testbed.BusNumber()),
      m_iDevnum(testbed.NextDeviceNumber()),
      m_strSysPath(QString::asprintf("/sys/devices/usb%d/%d-%d", m_iBus, m_iBus, m_iDevnum))
{
    if (stInfo.vecEndpoints.size() > c_iEndpointsMax)
        throw std::length_error("too many endpoints for one interface");
    Connect("handle-ioctl", G_CALLBACK(OnIoctl));
    Connect("handle-read", G_CALLBACK(OnRead));
    Plug(stInfo);
}

UsbDeviceEmu::~UsbDeviceEmu()
{
    Unplug();
    m_pHandler->DropPending();
    umockdev_testbed_detach_ioctl(m_pTestbed.get(), NodePath().toLocal8Bit().constData(), nullptr);
}

void UsbDeviceEmu::Connect(const char *szSignal, void (*pCallback)())
{
    g_signal_connect_data(m_pIoctl.get(), szSignal, pCallback, new HandlerRef(m_pHandler), ReleaseHandler,
                          GConnectFlags(0));
}

// The handler goes on the node before the node exists, so that no client can open a
// node that umockdev would not yet answer.
void UsbDeviceEmu::Plug(const stUsbDeviceInfo &stInfo)
{
    GError *pError = nullptr;
    const QByteArray baNode = NodePath().toLocal8Bit();
    if (!umockdev_testbed_attach_ioctl(m_pTestbed.get(), baNode.constData(), m_pIoctl.get(), &pError)) {
        g_clear_error(&pError);
        throw std::runtime_error("cannot attach the ioctl handler to " + baNode.toStdString());
    }
    const QByteArray baRecord =
        DeviceRecord(stInfo, m_iBus, m_iDevnum, m_strSysPath, m_pHandler->Descriptors()).toUtf8();
    if (!umockdev_testbed_add_from_string(m_pTestbed.get(), baRecord.constData(), &pError)) {
        const std::string strWhy = pError ? pError->message : "unknown";
        g_clear_error(&pError);
        throw std::runtime_error("cannot add the emulated device: " + strWhy);
    }
}

QString UsbDeviceEmu::NodePath() const
{
    return QStringLiteral("/dev/") + NodeName(m_iBus, m_iDevnum);
}

QByteArray UsbDeviceEmu::Descriptors() const
{
    return m_pHandler->Descriptors();
}

// umockdev sends the "add" uevent itself when a device is added, but not the "remove"
// one, which hotplug listeners such as libusb's need to drop the device.
void UsbDeviceEmu::Unplug()
{
    if (!m_pHandler->Unplug())
        return;
    const QByteArray baSysPath = m_strSysPath.toLocal8Bit();
    umockdev_testbed_uevent(m_pTestbed.get(), baSysPath.constData(), "remove");
    umockdev_testbed_remove_device(m_pTestbed.get(), baSysPath.constData());
}

QVector<stUsbEmuEvent> UsbDeviceEmu::Events() const
{
    return m_pHandler->Events();
}

int UsbDeviceEmu::CountEvents(enUsbEmuEvent enKind) const
{
    const QVector<stUsbEmuEvent> vecEvents = Events();
    return int(std::count_if(vecEvents.begin(), vecEvents.end(),
                             [enKind](const stUsbEmuEvent &ev) { return ev.enKind == enKind; }));
}

int UsbDeviceEmu::CountControl(unsigned char ucRequestType, unsigned char ucRequest, int iLength) const
{
    const QVector<stUsbEmuEvent> vecEvents = Events();
    return int(std::count_if(vecEvents.begin(), vecEvents.end(), [=](const stUsbEmuEvent &ev) {
        return ev.enKind == EMU_CONTROL && ev.ucRequestType == ucRequestType && ev.ucRequest == ucRequest &&
               (iLength < 0 || ev.uLength == unsigned(iLength));
    }));
}
