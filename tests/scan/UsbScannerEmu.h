// An emulated scanner of the suite's USB family: a vendor interface with bulk endpoints
// 0x02 (out) and 0x82 (in) speaking the scanner command protocol from a script.
//
// The device side is message-based: every answer is a queue of transfers, and a read
// takes at most what it asks for from the front transfer, leaving the rest for the next
// read. So a host reading 200 bytes gets a whole 31-byte record header (a short packet),
// and a host reading exactly 8 gets the header alone, as the two scanner families need.
#pragma once

#include "UsbDeviceEmu.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <memory>

constexpr unsigned short c_usScannerVendor = 0x300E;
constexpr unsigned short c_usScannerProduct = 0x30A1;
constexpr uint8_t c_ucFlagsOk = 0x80;

struct stScanScript
{
    // Per page, the image bytes of each data record.
    QVector<QVector<int>> vecPages;
    // Per page, what those bytes are (e.g. a JPEG); a page without them gets PageBytes.
    QVector<QByteArray> vecPageData;
    // A record's image data arrives as this many transfers (short packets).
    int iPieces = 1;
    // Record header and record information come as two transfers (8 + 23 bytes).
    bool bSplitHeader = false;
    // The last page never ends: its last data record repeats until the host aborts.
    bool bEndless = false;
    // Raw transfers sent instead of the closing end-of-data record; empty: end of data.
    QVector<QByteArray> vecTail;
};

struct stScannerEmuState;

class UsbScannerEmu : public UsbDeviceEmu
{
public:
    UsbScannerEmu(UsbTestbed &testbed, const QString &strSerial, const QString &strProduct = QStringLiteral("Scanner"),
                  unsigned short usVendor = c_usScannerVendor);

    // What the next scan start delivers.
    void SetScript(const stScanScript &stScript);
    // The flags byte answered to a command (class 0x53 or 0x44, command code).
    void SetFlags(uint8_t ucClass, uint8_t ucCode, uint8_t ucFlags);
    void SetAdfStatus(uint8_t ucStatus);
    void SetProperties(const QByteArray &baData16);
    // Answers with data lose this many of their last bytes; headers still announce them.
    void SetDataShortfall(int iBytes);
    // A transfer waiting in the device before whatever it answers next.
    void PushStale(const QByteArray &baTransfer);

    int DataRecordsServed() const;
    // Every request the host wrote to the bulk-out endpoint, in order.
    QVector<QByteArray> Requests() const;
    // The image bytes the script sends for one page, as the page file must hold them.
    static QByteArray PageBytes(int iPage, int iSize);
    static QByteArray RecordHeader(uint8_t ucStatus, int iDataSize);

private:
    UsbScannerEmu(UsbTestbed &testbed, const QString &strSerial, const QString &strProduct, unsigned short usVendor,
                  std::shared_ptr<stScannerEmuState> pState);

    std::shared_ptr<stScannerEmuState> m_pState;
};
