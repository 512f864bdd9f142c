#include "UsbScannerEmu.h"

#include <QMap>
#include <QMutex>
#include <QMutexLocker>

#include <deque>

namespace
{
constexpr uint8_t c_ucCmdStart = 0x1B;
constexpr uint8_t c_ucClassScan = 0x53;
constexpr uint8_t c_ucClassPower = 0x44;
constexpr uint8_t c_ucCodeStart = 0x01;
constexpr uint8_t c_ucCodeRecord = 0x02;
constexpr uint8_t c_ucCodeProperties = 0x03;
constexpr uint8_t c_ucCodeAdfStatus = 0x04;
constexpr uint8_t c_ucCodeGetSizes = 0x0A;
constexpr uint8_t c_ucCodeAbort = 0x0F;
constexpr uint8_t c_ucCodePowerOn = 0x04;
constexpr int c_iHeaderSize = 8;
constexpr int c_iInfoSize = 23;
constexpr uint8_t c_ucBeginOfPage = 9;
constexpr uint8_t c_ucEndOfPage = 7;
constexpr uint8_t c_ucEndOfData = 1;
constexpr uint8_t c_ucData = 0;
constexpr uint8_t c_ucTimeToScan = 3;
constexpr uint8_t c_ucSizeCount = 5;
constexpr unsigned char c_ucVendorClass = 0xFF;
constexpr unsigned char c_ucBulkOut = 0x02;
constexpr unsigned char c_ucBulkIn = 0x82;

int FlagsKey(uint8_t ucClass, uint8_t ucCode)
{
    return ucClass << 8 | ucCode;
}

QByteArray Header(uint8_t ucClass, uint8_t ucCode, int iDataSize, uint8_t ucFlags, uint8_t ucReserved = 0)
{
    QByteArray ba;
    ba.append(char(c_ucCmdStart)).append(char(ucClass)).append(char(ucCode)).append('\0');
    ba.append(char(iDataSize & 0xFF)).append(char((iDataSize >> 8) & 0xFF));
    ba.append(char(ucFlags)).append(char(ucReserved));
    return ba;
}

QByteArray PageBytesAt(int iPage, int iOffset, int iSize)
{
    QByteArray ba(iSize, '\0');
    for (int i = 0; i < iSize; ++i) {
        const int iAt = iOffset + i;
        ba[i] = char((iAt * 7 + iPage * 13 + iAt / 251) & 0xFF);
    }
    return ba;
}

bool IsErrorFlags(uint8_t ucFlags)
{
    return (ucFlags >= 0x81 && ucFlags <= 0x86) || ucFlags == 0x88 || ucFlags == 0x89;
}
}  // namespace

// Shared between the test thread and the testbed's worker thread, which runs the responder.
struct stScannerEmuState
{
    QMutex mutex;
    QMap<int, uint8_t> mapFlags;
    uint8_t ucAdfStatus = 2;
    QByteArray baProperties = QByteArray(16, '\0');
    int iDataShortfall = 0;
    stScanScript stScript;
    std::deque<QByteArray> dequeStale;
    std::deque<QByteArray> dequeOut; // transfers the device has queued for the host

    // The running scan: where the script is.
    bool bScanning = false;
    int iPage = 0;
    int iRecord = -1; // -1: the page has not begun
    int iPageOffset = 0;
    int iDataRecords = 0;

    uint8_t Flags(uint8_t ucClass, uint8_t ucCode) const
    {
        return mapFlags.value(FlagsKey(ucClass, ucCode), c_ucFlagsOk);
    }

    void QueueRecordStart(uint8_t ucStatus, int iDataSize)
    {
        const QByteArray ba = UsbScannerEmu::RecordHeader(ucStatus, iDataSize);
        if (stScript.bSplitHeader) {
            dequeOut.push_back(ba.left(c_iHeaderSize));
            dequeOut.push_back(ba.mid(c_iHeaderSize));
        } else {
            dequeOut.push_back(ba);
        }
    }

    void QueueData(int iSize)
    {
        QueueRecordStart(c_ucData, c_iInfoSize + iSize);
        const QByteArray baPage = iPage < stScript.vecPageData.size()
                                      ? stScript.vecPageData[iPage].mid(iPageOffset, iSize)
                                      : PageBytesAt(iPage, iPageOffset, iSize);
        iPageOffset += iSize;
        const int iPieces = qMax(1, stScript.iPieces);
        const int iPieceSize = (iSize + iPieces - 1) / iPieces;
        for (int i = 0; i < iSize; i += iPieceSize)
            dequeOut.push_back(baPage.mid(i, iPieceSize));
        ++iDataRecords;
    }

    void QueueEnd()
    {
        bScanning = false;
        if (stScript.vecTail.isEmpty()) {
            QueueRecordStart(c_ucEndOfData, c_iInfoSize);
            return;
        }
        for (const QByteArray &ba : stScript.vecTail)
            dequeOut.push_back(ba);
    }

    // Queues the next record of the script.
    void Advance()
    {
        if (iPage >= stScript.vecPages.size())
            return QueueEnd();
        const QVector<int> &vecPage = stScript.vecPages[iPage];
        const bool bLastPage = iPage == stScript.vecPages.size() - 1;
        if (iRecord < 0) {
            QueueRecordStart(c_ucBeginOfPage, c_iInfoSize);
            iRecord = 0;
            iPageOffset = 0;
        } else if (iRecord < vecPage.size()) {
            QueueData(vecPage[iRecord++]);
        } else if (bLastPage && stScript.bEndless && !vecPage.isEmpty()) {
            QueueData(vecPage.last());
        } else {
            QueueRecordStart(c_ucEndOfPage, c_iInfoSize);
            ++iPage;
            iRecord = -1;
        }
    }

    void StartScan()
    {
        bScanning = true;
        iPage = 0;
        iRecord = -1;
        iPageOffset = 0;
    }

    void Answer(uint8_t ucClass, uint8_t ucCode, const QByteArray &baData = {}, uint8_t ucReserved = 0)
    {
        while (!dequeStale.empty()) {
            dequeOut.push_back(dequeStale.front());
            dequeStale.pop_front();
        }
        dequeOut.push_back(Header(ucClass, ucCode, baData.size(), Flags(ucClass, ucCode), ucReserved) +
                           baData.left(baData.size() - iDataShortfall));
    }

    void TakeRequest(const QByteArray &baOut)
    {
        if (baOut.size() < c_iHeaderSize || uint8_t(baOut[0]) != c_ucCmdStart)
            return;
        const uint8_t ucClass = uint8_t(baOut[1]);
        const uint8_t ucCode = uint8_t(baOut[2]);
        if (ucClass == c_ucClassScan && ucCode == c_ucCodeAbort) {
            // The device drops the job and acknowledges; the host resets it afterwards.
            bScanning = false;
            dequeOut.clear();
            dequeOut.push_back(Header(c_ucClassScan, c_ucCodeAbort, 0, c_ucFlagsOk));
        } else if (ucClass == c_ucClassPower && ucCode == c_ucCodePowerOn) {
            Answer(ucClass, ucCode, QByteArray(1, char(c_ucTimeToScan)));
        } else if (ucCode == c_ucCodeProperties) {
            Answer(ucClass, ucCode, baProperties);
        } else if (ucCode == c_ucCodeAdfStatus) {
            Answer(ucClass, ucCode, {}, ucAdfStatus);
        } else if (ucCode == c_ucCodeGetSizes) {
            Answer(ucClass, ucCode, QByteArray(1, char(c_ucSizeCount)));
        } else if (ucCode == c_ucCodeStart) {
            // A new job drops whatever an unfinished one left in the pipe.
            bScanning = false;
            dequeOut.clear();
            Answer(ucClass, ucCode);
            if (!IsErrorFlags(Flags(ucClass, ucCode)))
                StartScan();
        } else {
            Answer(ucClass, ucCode);
        }
    }

    stUsbEmuReply Read(unsigned int uLength)
    {
        if (dequeOut.empty() && bScanning)
            Advance();
        if (dequeOut.empty())
            return {EMU_TIMEOUT, {}};
        QByteArray &baFront = dequeOut.front();
        const QByteArray baIn = baFront.left(int(uLength));
        baFront.remove(0, baIn.size());
        if (baFront.isEmpty())
            dequeOut.pop_front();
        return {EMU_ANSWER, baIn};
    }

    stUsbEmuReply Respond(const stUsbEmuEvent &ev)
    {
        if (ev.enKind != EMU_BULK)
            return {EMU_STALL, {}};
        QMutexLocker lock(&mutex);
        if (ev.ucEndpoint == c_ucBulkIn)
            return Read(ev.uLength);
        TakeRequest(ev.baOut);
        return {EMU_ANSWER, {}};
    }
};

namespace
{
stUsbDeviceInfo ScannerInfo(const QString &strSerial, const QString &strProduct, unsigned short usVendor)
{
    stUsbDeviceInfo stInfo;
    stInfo.usVendor = usVendor;
    stInfo.usProduct = c_usScannerProduct;
    stInfo.strManufacturer = QStringLiteral("Ostrel");
    stInfo.strProduct = strProduct;
    stInfo.strSerial = strSerial;
    stInfo.ucInterfaceClass = c_ucVendorClass;
    stInfo.vecEndpoints = {{c_ucBulkOut}, {c_ucBulkIn}};
    return stInfo;
}
}  // namespace

UsbScannerEmu::UsbScannerEmu(UsbTestbed &testbed, const QString &strSerial, const QString &strProduct,
                             unsigned short usVendor)
    : UsbScannerEmu(testbed, strSerial, strProduct, usVendor, std::make_shared<stScannerEmuState>())
{
}

UsbScannerEmu::UsbScannerEmu(UsbTestbed &testbed, const QString &strSerial, const QString &strProduct,
                             unsigned short usVendor, std::shared_ptr<stScannerEmuState> pState)
    : UsbDeviceEmu(testbed, ScannerInfo(strSerial, strProduct, usVendor),
                   [pState](const stUsbEmuEvent &ev) { return pState->Respond(ev); }),
      m_pState(std::move(pState))
{
}

void UsbScannerEmu::SetScript(const stScanScript &stScript)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->stScript = stScript;
}

void UsbScannerEmu::SetFlags(uint8_t ucClass, uint8_t ucCode, uint8_t ucFlags)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->mapFlags[FlagsKey(ucClass, ucCode)] = ucFlags;
}

void UsbScannerEmu::SetAdfStatus(uint8_t ucStatus)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->ucAdfStatus = ucStatus;
}

void UsbScannerEmu::SetProperties(const QByteArray &baData16)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->baProperties = baData16;
}

void UsbScannerEmu::SetDataShortfall(int iBytes)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->iDataShortfall = iBytes;
}

void UsbScannerEmu::PushStale(const QByteArray &baTransfer)
{
    QMutexLocker lock(&m_pState->mutex);
    m_pState->dequeStale.push_back(baTransfer);
}

int UsbScannerEmu::DataRecordsServed() const
{
    QMutexLocker lock(&m_pState->mutex);
    return m_pState->iDataRecords;
}

QVector<QByteArray> UsbScannerEmu::Requests() const
{
    QVector<QByteArray> vecOut;
    for (const stUsbEmuEvent &ev : Events()) {
        if (ev.enKind == EMU_BULK && ev.ucEndpoint == c_ucBulkOut)
            vecOut.append(ev.baOut);
    }
    return vecOut;
}

QByteArray UsbScannerEmu::PageBytes(int iPage, int iSize)
{
    return PageBytesAt(iPage, 0, iSize);
}

QByteArray UsbScannerEmu::RecordHeader(uint8_t ucStatus, int iDataSize)
{
    QByteArray baInfo(c_iInfoSize, '\0');
    baInfo[0] = char(ucStatus);
    return Header(c_ucClassScan, c_ucCodeRecord, iDataSize, c_ucFlagsOk) + baInfo;
}
