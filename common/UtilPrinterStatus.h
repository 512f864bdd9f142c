// Decoding of printer status replies: the standard fixed-order layout and the KQ
// record list carried in an NPA reply frame.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "PrinterModel.h"

// The two readings of a KQ reply: each program names its own at every decode.
enum class enKQVariant
{
    Service,  // decodes live replies in printsvc
    Tool,     // decodes the status files again in printtool
};

// Every status buffer starts with this prefix, which the decoders skip.
constexpr unsigned long c_ulStatusPrefix = 7;
// Capacities of the decoder's stores (NUL included for texts).
constexpr int c_iTextCapacityLong = 261;   // texts 1 to 3
constexpr int c_iTextCapacityShort = 256;  // texts 4 and 5
constexpr int c_iSupplyCapacity = 65;      // supply serial number
constexpr int c_iNumericMeaningful = 4;    // bytes of a number that matter

// KQ reply, offsets in the status buffer (frame byte k is buffer byte k + 7).
constexpr unsigned long c_ulKQRecordCountOffset = 36;
constexpr unsigned long c_ulKQFirstRecordOffset = 37;
constexpr unsigned long c_ulKQRecordHeader = 3;  // 2-byte type, 1-byte length

enum enKQRecordType
{
    KQ_RECORD_STATE = 6,
    KQ_RECORD_QUALIFIER = 7,
    KQ_RECORD_ERROR = 9,
    KQ_RECORD_WARNING = 12,
    KQ_RECORD_TONER = 29,
};

enum enSupplyId
{
    SUPPLY_SERIAL = 0x0000,
    SUPPLY_TONER_TYPE = 0x0001,
    SUPPLY_REMAINING_TONER = 0x1000,
    SUPPLY_WASTE_TONER = 0x1001,
    SUPPLY_OPC_ROTATION = 0x1002,
    SUPPLY_NUMBER_OF_PAGES = 0x1003,
    SUPPLY_NUMBER_OF_PRINT = 0x1004,
    SUPPLY_PRINT_DOTS = 0x1100,
    SUPPLY_PRINTER_PAGES = 0x1101,
    SUPPLY_PRINTER_PRINTS = 0x1102,
};

class UtilPrinterStatus
{
public:
    explicit UtilPrinterStatus(enKQVariant enVariant);

    // True when the whole reply, supply items included, was read.
    bool parseRecvBuf(const unsigned char *buffer, unsigned long length);
    // True unless a record that this variant handles runs past the buffer.
    bool parseRecvBuf_KQ(const unsigned char *buffer, unsigned long length);

    static unsigned long byteToDWORD(const unsigned char *bytes, unsigned long length);
    void setSuppliesData(unsigned long id, const unsigned char *value, unsigned long length);
    QByteArray getPrinterStatusValue() const { return m_baStatusValue; }

    // Fill a state record the way both programs read a decoded reply.
    void ToPrinterState(stPrinterState &st) const;
    void ToPrinterState_KQ(stPrinterState &st) const;

    QString m_strVender;
    QString m_strProduct;
    QString m_strSerial;
    QString m_strFWVersion;
    QString m_strText5;
    unsigned long m_ulStatus = 0;
    unsigned long m_ulErrorCount = 0;
    unsigned long m_ulWarningCount = 0;
    QList<unsigned long> m_listErrorCode;
    QList<unsigned long> m_listWarningCode;
    QString m_strSupplySerial;
    unsigned long m_ulTonerType = 0;
    unsigned long m_ulRemainingToner = 0;
    unsigned long m_ulWasteToner = 0;
    unsigned long m_ulOPCRotation = 0;
    unsigned long m_ulNumberOfPages = 0;
    unsigned long m_ulNumberOfPrint = 0;
    unsigned long m_ulPrintDotsCount = 0;
    unsigned long m_ulPrinterNumOfPages = 0;
    unsigned long m_ulPrinterNumOfPrint = 0;
    QByteArray m_baReserved;  // reserved fields of the standard layout, in reply order

private:
    void ApplyRecordService(unsigned type, const unsigned char *value, unsigned long n);
    void ApplyRecordTool(unsigned type, const unsigned char *value, unsigned long n);
    bool HandlesRecord(unsigned type) const;
    void SetStatusValue(const unsigned char *value, unsigned long n);

    enKQVariant m_enVariant;
    QByteArray m_baStatusValue;
};

int GetPrinterStatusEnum(unsigned long raw);
int GetPrinterStatusEnum_KQ(unsigned long raw, enKQVariant enVariant);
int GetErrorStatusEnum(unsigned long code);
int GetTonerTypeEnum(unsigned long raw);

// One status buffer of either family decoded into the state record; false when the
// decoder rejects it, and the record is then left as it was.
bool DecodeStatusBuffer(const unsigned char *buffer, unsigned long length, bool bKQ, enKQVariant enVariant,
                        stPrinterState &st);

// Whether anything the user sees changed: state, toner, errors or warnings.
bool CheckStatusChange(const stPrinterState &old, const stPrinterState &now);
