#include "UtilPrinterStatus.h"

#include <algorithm>

namespace
{
// Walks a reply field by field; every field must end at or before the reply's end.
class ReplyCursor
{
public:
    ReplyCursor(const unsigned char *buffer, unsigned long length, unsigned long pos)
        : m_buffer(buffer), m_length(length), m_pos(pos)
    {
    }

    bool Take(unsigned long width, const unsigned char *&field)
    {
        if (m_pos > m_length || width > m_length - m_pos)
            return false;
        field = m_buffer + m_pos;
        m_pos += width;
        return true;
    }

    bool Number(unsigned long width, unsigned long &value)
    {
        const unsigned char *field = nullptr;
        if (!Take(width, field))
            return false;
        value = UtilPrinterStatus::byteToDWORD(field, width);
        return true;
    }

    bool Reserved(unsigned long width, QByteArray &kept)
    {
        const unsigned char *field = nullptr;
        if (!Take(width, field))
            return false;
        kept.append(reinterpret_cast<const char *>(field), int(width));
        return true;
    }

    // A length-prefixed text, stored up to its first NUL and within the store's capacity.
    bool Text(unsigned long lengthWidth, int iCapacity, QString &text)
    {
        unsigned long length = 0;
        const unsigned char *field = nullptr;
        if (!Number(lengthWidth, length) || !Take(length, field))
            return false;
        text = BoundedText(field, length, iCapacity);
        return true;
    }

    static QString BoundedText(const unsigned char *bytes, unsigned long length, int iCapacity)
    {
        const unsigned long ulMax = std::min<unsigned long>(length, iCapacity - 1);
        const auto *end = std::find(bytes, bytes + ulMax, 0);
        return QString::fromUtf8(reinterpret_cast<const char *>(bytes), int(end - bytes));
    }

private:
    const unsigned char *m_buffer;
    unsigned long m_length;
    unsigned long m_pos;
};

bool InRange(unsigned long v, unsigned long lo, unsigned long hi)
{
    return v >= lo && v <= hi;
}

// Condition codes, first hit wins; ranges are inclusive.
struct stCodeRange
{
    unsigned long ulFirst;
    unsigned long ulLast;
    enErrorStatus enCode;
};

const stCodeRange c_stCodeRanges[] = {
    {0x1200, 0x1200, ERR_FIXER},
    {0x1203, 0x1203, ERR_LASER_DAMAGE},
    {0x2200, 0x2200, ERR_NO_SCANNER},
    {0x0100, 0x0101, ERR_PRINTER_BREAKDOWN},
    {0x0200, 0x0200, ERR_PRINTER_BREAKDOWN},
    {0x0202, 0x0202, ERR_PRINTER_BREAKDOWN},
    {0x1108, 0x1108, ERR_PRINTER_BREAKDOWN},
    {0x1201, 0x1202, ERR_PRINTER_BREAKDOWN},
    {0x1204, 0x1207, ERR_PRINTER_BREAKDOWN},
    {0x1209, 0x120B, ERR_PRINTER_BREAKDOWN},
    {0x1211, 0x1211, ERR_PRINTER_BREAKDOWN},
    {0x1213, 0x121F, ERR_PRINTER_BREAKDOWN},
    {0x1212, 0x1212, ERR_HIGH_TEMPERATURE},
    {0x1106, 0x1106, ERR_FRONT_COVER_OPEN},
    {0x1109, 0x110C, ERR_CARTRIDGE},
    {0x110D, 0x110D, ERR_TONER_LOW},
    {0x110E, 0x110E, ERR_TONER_EMPTY_LOW_QUALITY},
    {0x1123, 0x1123, ERR_TONER_EMPTY_LOW_QUALITY},
    {0x112F, 0x112F, ERR_TONER_EMPTY_LOW_QUALITY},
    {0x11EE, 0x11EF, ERR_TONER_EMPTY_LOW_QUALITY},
    {0x110F, 0x110F, ERR_TONER_EMPTY_REPLACE},
    {0x11EA, 0x11EA, ERR_TONER_RUNNING_OUT},
    {0x1110, 0x1110, ERR_NO_CARTRIDGE},
    {0x1121, 0x1121, ERR_WASTE_TONER_NEAR_FULL},
    {0x1111, 0x1111, ERR_WASTE_TONER_FULL},
    {0x1125, 0x1125, ERR_WASTE_TONER_FULL},
    {0x1122, 0x1122, ERR_CARTRIDGE_PAGES_NEAR_LIMIT},
    {0x1124, 0x1124, ERR_CARTRIDGE_PAGES_NEAR_LIMIT},
    {0x1112, 0x1114, ERR_CARTRIDGE_PAGES_LIMIT},
    {0x1126, 0x1126, ERR_DESIGN_LIFE_NEAR_END},
    {0x1128, 0x1129, ERR_DESIGN_LIFE_NEAR_END},
    {0x1115, 0x1115, ERR_DESIGN_LIFE_EXCEEDED},
    {0x1127, 0x1127, ERR_DESIGN_LIFE_EXCEEDED},
    {0x1130, 0x1130, ERR_MEMORY_OVERFLOW},
    {0x1140, 0x1140, ERR_COOLING},
    {0x2100, 0x2100, ERR_ADF_PAPER_JAM},
    {0x2102, 0x2102, ERR_ADF_NO_PAPER},
    {0x2103, 0x2103, ERR_ADF_FEED_FAILED},
    {0x1132, 0x1132, ERR_INVALID_SETTING},
    {0x11A0, 0x11A0, ERR_TRAY_EMPTY},
    {0x11A1, 0x11A1, ERR_MANUAL_FEEDER_EMPTY},
    {0x11A2, 0x11A2, ERR_MANUAL_FEEDER_STOP},
    {0x1133, 0x1133, ERR_TRAY_MISMATCH},
    {0x11B0, 0x11B8, ERR_JAM_INSIDE},
    {0x11C0, 0x11C6, ERR_JAM_TRAY},
    {0x11D0, 0x11D6, ERR_JAM_REAR},
    {0x11E0, 0x11E3, ERR_PAPER_SIZE_MISMATCH},
    {0x0110, 0x0110, ERR_INITIAL_SETUP},
    {0x4211, 0x4211, ERR_FLATBED_SCAN},
    {0x4213, 0x4213, ERR_ADF_SCAN_NO_PAPER},
    {0x4214, 0x4214, ERR_FILE_SIZE_LIMIT},
    {0x4100, 0x4100, ERR_PRINTER_BREAKDOWN2},
    {0x4200, 0x4201, ERR_PRINTER_BREAKDOWN2},
    {0x4210, 0x4210, ERR_PRINTER_BREAKDOWN2},
    {0x4212, 0x4212, ERR_PRINTER_BREAKDOWN2},
    {0x4F00, 0x4F00, ERR_PRINTER_BREAKDOWN2},
    {0xE100, 0xE100, ERR_IP_SETTINGS},
    {0x5000, 0x5000, ERR_IP_CONFLICT},
    {0x11F0, 0x11F0, ERR_AUTH_FAILED},
    {0x11F1, 0x11F1, ERR_AUTH_TIMEOUT},
    {0x1302, 0x1302, ERR_ADC_FAIL},
    {0x1303, 0x1303, ERR_24V_MOS_BREAKDOWN},
    {0x11F2, 0x11F2, ERR_NETSEC_ON},
};

QList<enErrorStatus> MapCodes(const QList<unsigned long> &listCode)
{
    QList<enErrorStatus> listMapped;
    for (unsigned long ulCode : listCode)
        listMapped.append(static_cast<enErrorStatus>(GetErrorStatusEnum(ulCode)));
    return listMapped;
}

// One code when the variant counted it, else none.
QList<enErrorStatus> FirstCodeIfCounted(const QList<unsigned long> &listCode, unsigned long ulCount)
{
    if (ulCount != 1 || listCode.isEmpty())
        return {};
    return {static_cast<enErrorStatus>(GetErrorStatusEnum(listCode.first()))};
}

// Whether the first two value bytes that the record really has hold anything.
unsigned long NonZeroFlag(const unsigned char *value, unsigned long n)
{
    const unsigned long ulBytes = std::min<unsigned long>(n, 2);
    return std::any_of(value, value + ulBytes, [](unsigned char b) { return b != 0; }) ? 1 : 0;
}
}  // namespace

UtilPrinterStatus::UtilPrinterStatus(enKQVariant enVariant) : m_enVariant(enVariant) {}

unsigned long UtilPrinterStatus::byteToDWORD(const unsigned char *bytes, unsigned long length)
{
    if (length == 0)
        return 0;
    if (length == 1 || length > c_iNumericMeaningful)
        return bytes[0];
    unsigned long ulValue = 0;
    for (unsigned long i = 0; i < length; ++i)
        ulValue = (ulValue << 8) | bytes[i];
    return ulValue;
}

void UtilPrinterStatus::setSuppliesData(unsigned long id, const unsigned char *value, unsigned long length)
{
    if (id == SUPPLY_SERIAL) {
        m_strSupplySerial = ReplyCursor::BoundedText(value, length, c_iSupplyCapacity);
        return;
    }
    const unsigned long ulValue = byteToDWORD(value, length);
    switch (id) {
    case SUPPLY_TONER_TYPE: m_ulTonerType = ulValue; break;
    case SUPPLY_REMAINING_TONER: m_ulRemainingToner = ulValue; break;
    case SUPPLY_WASTE_TONER: m_ulWasteToner = ulValue; break;
    case SUPPLY_OPC_ROTATION: m_ulOPCRotation = ulValue; break;
    case SUPPLY_NUMBER_OF_PAGES: m_ulNumberOfPages = ulValue; break;
    case SUPPLY_NUMBER_OF_PRINT: m_ulNumberOfPrint = ulValue; break;
    case SUPPLY_PRINT_DOTS: m_ulPrintDotsCount = ulValue; break;
    case SUPPLY_PRINTER_PAGES: m_ulPrinterNumOfPages = ulValue; break;
    case SUPPLY_PRINTER_PRINTS: m_ulPrinterNumOfPrint = ulValue; break;
    default: break;
    }
}

bool UtilPrinterStatus::parseRecvBuf(const unsigned char *buffer, unsigned long length)
{
    ReplyCursor cur(buffer, length, c_ulStatusPrefix);
    const unsigned char *field = nullptr;
    if (!cur.Reserved(1, m_baReserved) || !cur.Reserved(2, m_baReserved) || !cur.Reserved(2, m_baReserved))
        return false;
    if (!cur.Text(2, c_iTextCapacityLong, m_strVender) || !cur.Text(2, c_iTextCapacityLong, m_strProduct) ||
        !cur.Text(2, c_iTextCapacityLong, m_strSerial) || !cur.Reserved(2, m_baReserved))
        return false;
    if (!cur.Take(1, field))
        return false;
    m_baStatusValue = QByteArray(reinterpret_cast<const char *>(field), 1);
    m_ulStatus = field[0];
    if (!cur.Text(1, c_iTextCapacityShort, m_strFWVersion) || !cur.Text(1, c_iTextCapacityShort, m_strText5))
        return false;

    if (!cur.Number(1, m_ulErrorCount))
        return false;
    for (unsigned long i = 0; i < m_ulErrorCount; ++i) {
        unsigned long ulCode = 0;
        if (!cur.Number(2, ulCode))
            return false;
        m_listErrorCode.append(ulCode);
    }
    if (!cur.Number(1, m_ulWarningCount))
        return false;
    for (unsigned long i = 0; i < m_ulWarningCount; ++i) {
        unsigned long ulCode = 0;
        if (!cur.Number(2, ulCode))
            return false;
        m_listWarningCode.append(ulCode);
    }

    unsigned long ulSupplies = 0;
    if (!cur.Reserved(1, m_baReserved) || !cur.Reserved(2, m_baReserved) || !cur.Reserved(2, m_baReserved) ||
        !cur.Number(1, ulSupplies))
        return false;
    for (unsigned long i = 0; i < ulSupplies; ++i) {
        unsigned long ulId = 0;
        unsigned long ulLength = 0;
        if (!cur.Number(2, ulId) || !cur.Number(1, ulLength) || !cur.Take(ulLength, field))
            return false;
        setSuppliesData(ulId, field, ulLength);
    }
    return true;
}

bool UtilPrinterStatus::HandlesRecord(unsigned type) const
{
    switch (type) {
    case KQ_RECORD_STATE:
    case KQ_RECORD_QUALIFIER:
    case KQ_RECORD_ERROR:
    case KQ_RECORD_WARNING: return true;
    case KQ_RECORD_TONER: return m_enVariant == enKQVariant::Tool;
    default: return false;
    }
}

bool UtilPrinterStatus::parseRecvBuf_KQ(const unsigned char *buffer, unsigned long length)
{
    if (length <= c_ulKQFirstRecordOffset + 2)
        return true;
    const unsigned long ulRecords = buffer[c_ulKQRecordCountOffset];
    unsigned long ulHeader = c_ulKQFirstRecordOffset;
    for (unsigned long r = 0; r < ulRecords; ++r) {
        const unsigned long ulValueStart = ulHeader + c_ulKQRecordHeader;
        if (ulValueStart > length)
            break;
        const unsigned type = (unsigned(buffer[ulHeader]) << 8) | buffer[ulHeader + 1];
        const unsigned long n = buffer[ulHeader + 2];
        const bool bFits = n <= length - ulValueStart;
        if (HandlesRecord(type)) {
            if (!bFits)
                return false;
            if (m_enVariant == enKQVariant::Service)
                ApplyRecordService(type, buffer + ulValueStart, n);
            else
                ApplyRecordTool(type, buffer + ulValueStart, n);
        }
        // Every record is stepped over by its own length, handled or not, so value
        // bytes are never read as the next record's header.
        ulHeader = ulValueStart + n;
    }
    return true;
}

void UtilPrinterStatus::SetStatusValue(const unsigned char *value, unsigned long n)
{
    m_baStatusValue = QByteArray(reinterpret_cast<const char *>(value), int(std::min<unsigned long>(n, c_iNumericMeaningful)));
    m_ulStatus = byteToDWORD(value, n);
}

void UtilPrinterStatus::ApplyRecordService(unsigned type, const unsigned char *value, unsigned long n)
{
    switch (type) {
    case KQ_RECORD_STATE: SetStatusValue(value, n); break;
    case KQ_RECORD_QUALIFIER:
        if (n == 1 && (value[0] == 0 || value[0] >= 4)) {
            m_ulStatus = 0;
            m_baStatusValue = QByteArray(1, '\0');
        }
        break;
    case KQ_RECORD_ERROR: m_listErrorCode.append(byteToDWORD(value, n)); break;
    case KQ_RECORD_WARNING: m_listWarningCode.append(byteToDWORD(value, n)); break;
    default: break;
    }
}

void UtilPrinterStatus::ApplyRecordTool(unsigned type, const unsigned char *value, unsigned long n)
{
    static const unsigned long c_ulStateMap[] = {0, 3, 4, 5, 12};     // type 6 value 1..4
    static const unsigned long c_ulQualifierMap[] = {0, 10, 8, 9};    // type 7 value 1..3
    switch (type) {
    case KQ_RECORD_STATE:
        if (n == 1 && InRange(value[0], 1, 4)) {
            m_ulStatus = c_ulStateMap[value[0]];
            m_baStatusValue = QByteArray(1, char(m_ulStatus));
        }
        break;
    case KQ_RECORD_QUALIFIER:
        if (n == 1 && InRange(value[0], 1, 3)) {
            m_ulStatus = c_ulQualifierMap[value[0]];
            m_baStatusValue = QByteArray(1, char(m_ulStatus));
        }
        break;
    case KQ_RECORD_ERROR:
        m_listErrorCode.append(byteToDWORD(value, n));
        m_ulErrorCount = NonZeroFlag(value, n);
        break;
    case KQ_RECORD_WARNING:
        m_listWarningCode.append(byteToDWORD(value, n));
        m_ulWarningCount = NonZeroFlag(value, n);
        break;
    case KQ_RECORD_TONER:
        if (n >= 3)
            m_ulRemainingToner = value[2];
        break;
    default: break;
    }
}

void UtilPrinterStatus::ToPrinterState(stPrinterState &st) const
{
    st.strPrinterSerialNumber = m_strSerial;
    st.enCurrentStatus = static_cast<enPrinterStatus>(GetPrinterStatusEnum(m_ulStatus));
    st.strFWVersion = m_strFWVersion;
    st.strVenderName = m_strVender;
    st.strProductName = m_strProduct;
    st.iNumberOfError = int(m_ulErrorCount);
    st.iNumberOfWarning = int(m_ulWarningCount);
    st.listError = MapCodes(m_listErrorCode);
    st.listWarning = MapCodes(m_listWarningCode);
    st.strSupplySerialNumber = m_strSupplySerial;
    st.enSpplyType = GetTonerTypeEnum(m_ulTonerType);
    st.dwRemainingToner = m_ulRemainingToner;
    st.dwWasteToner = m_ulWasteToner;
    st.dwOPCRotation = m_ulOPCRotation;
    st.dwNumberOfPages = m_ulNumberOfPages;
    st.dwNumberOfPrint = m_ulNumberOfPrint;
    st.dwPrintDotsCount = m_ulPrintDotsCount;
    st.dwPrinterNumOfPages = m_ulPrinterNumOfPages;
    st.dwPrinterNumOfPrint = m_ulPrinterNumOfPrint;
    st.iFailCount = 0;
}

void UtilPrinterStatus::ToPrinterState_KQ(stPrinterState &st) const
{
    st = stPrinterState();
    st.enCurrentStatus = static_cast<enPrinterStatus>(GetPrinterStatusEnum_KQ(m_ulStatus, m_enVariant));
    if (m_enVariant == enKQVariant::Service) {
        // The service's own record of a KQ reply: every condition the reply names.
        st.listError = MapCodes(m_listErrorCode);
        st.listWarning = MapCodes(m_listWarningCode);
        st.iNumberOfError = st.listError.size();
        st.iNumberOfWarning = st.listWarning.size();
        return;
    }
    st.iNumberOfError = 1;
    st.iNumberOfWarning = 1;
    st.listError = FirstCodeIfCounted(m_listErrorCode, m_ulErrorCount);
    st.listWarning = FirstCodeIfCounted(m_listWarningCode, m_ulWarningCount);
    st.strSupplySerialNumber = m_strSupplySerial;
    st.enSpplyType = GetTonerTypeEnum(m_ulTonerType);
    st.dwRemainingToner = m_ulRemainingToner;
}

bool DecodeStatusBuffer(const unsigned char *buffer, unsigned long length, bool bKQ, enKQVariant enVariant,
                        stPrinterState &st)
{
    UtilPrinterStatus status(enVariant);
    if (!(bKQ ? status.parseRecvBuf_KQ(buffer, length) : status.parseRecvBuf(buffer, length)))
        return false;
    if (bKQ)
        status.ToPrinterState_KQ(st);
    else
        status.ToPrinterState(st);
    return true;
}

int GetPrinterStatusEnum(unsigned long raw)
{
    switch (raw) {
    case 0: return STATUS_READY;
    case 1: return STATUS_INITIALIZE;
    case 2: return STATUS_BUSY;
    case 3: return STATUS_CANCELING_JOB;
    case 16: return STATUS_PRINTING;
    case 17: return STATUS_SCANNING;
    case 18: return STATUS_COPYING;
    case 19: return STATUS_REPORTING;
    default: return STATUS_UNKNOWN;
    }
}

int GetPrinterStatusEnum_KQ(unsigned long raw, enKQVariant enVariant)
{
    if (enVariant == enKQVariant::Service) {
        switch (raw) {
        case 1: return STATUS_READY;
        case 2: return STATUS_INITIALIZE;
        case 3: return STATUS_BUSY;
        case 4: return STATUS_KQ_STATE4;
        default: return STATUS_UNKNOWN;
        }
    }
    switch (raw) {
    case 2: case 3: case 4: case 5: case 6: case 8: case 9: case 10: return int(raw);
    case 18: return STATUS_REPORTING;
    default: return STATUS_UNKNOWN;
    }
}

int GetErrorStatusEnum(unsigned long code)
{
    for (const stCodeRange &range : c_stCodeRanges) {
        if (InRange(code, range.ulFirst, range.ulLast))
            return range.enCode;
    }
    return ERR_UNKNOWN;
}

int GetTonerTypeEnum(unsigned long)
{
    return TONER_TYPE_UNKNOWN;
}

bool CheckStatusChange(const stPrinterState &old, const stPrinterState &now)
{
    return old.enCurrentStatus != now.enCurrentStatus || old.dwRemainingToner != now.dwRemainingToner ||
           old.listError != now.listError || old.listWarning != now.listWarning;
}
