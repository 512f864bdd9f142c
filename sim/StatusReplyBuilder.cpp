#include "StatusReplyBuilder.h"

#include <algorithm>
#include <cstring>

#include "npa.h"

namespace
{
void Append16(QByteArray &ba, std::uint32_t v)
{
    ba.append(char(v >> 8));
    ba.append(char(v));
}

void AppendText(QByteArray &ba, const QByteArray &baText, int iLengthWidth)
{
    if (iLengthWidth == 2)
        Append16(ba, std::uint32_t(baText.size()));
    else
        ba.append(char(baText.size()));
    ba.append(baText);
}

QByteArray BigEndian(std::uint64_t value, int iWidth)
{
    QByteArray ba(iWidth, '\0');
    for (int i = iWidth - 1; i >= 0; --i, value >>= 8)
        ba[i] = char(value & 0xFF);
    return ba;
}
}  // namespace

QByteArray BuildStandardReply(const stStandardReply &reply)
{
    QByteArray ba = reply.baPrefix;
    ba.append(QByteArray(5, '\0'));  // reserved 1 + 2 + 2
    AppendText(ba, reply.baVender, 2);
    AppendText(ba, reply.baProduct, 2);
    AppendText(ba, reply.baSerial, 2);
    ba.append(QByteArray(2, '\0'));
    ba.append(char(reply.ucStatus));
    AppendText(ba, reply.baFWVersion, 1);
    AppendText(ba, reply.baText5, 1);
    ba.append(char(reply.listError.size()));
    for (std::uint16_t us : reply.listError)
        Append16(ba, us);
    ba.append(char(reply.listWarning.size()));
    for (std::uint16_t us : reply.listWarning)
        Append16(ba, us);
    ba.append(QByteArray(5, '\0'));  // reserved 1 + 2 + 2
    ba.append(char(reply.listSupply.size()));
    for (const stSupplyItem &item : reply.listSupply) {
        Append16(ba, item.usId);
        ba.append(char(item.baValue.size()));
        ba.append(item.baValue);
    }
    return ba;
}

stSupplyItem SupplyNumber(std::uint16_t usId, std::uint64_t value, int iWidth)
{
    return {usId, BigEndian(value, iWidth)};
}

stKQRecord KQState(std::uint8_t ucValue) { return {6, QByteArray(1, char(ucValue))}; }
stKQRecord KQQualifier(std::uint8_t ucValue) { return {7, QByteArray(1, char(ucValue))}; }
stKQRecord KQError(std::uint16_t usCode) { return {9, BigEndian(usCode, 2)}; }
stKQRecord KQWarning(std::uint16_t usCode) { return {12, BigEndian(usCode, 2)}; }
stKQRecord KQToner(std::uint8_t ucPercent) { return {29, QByteArray("\x00\x00", 2) + char(ucPercent)}; }

QByteArray BuildKQReplyFrame(const unsigned char *sn, const stKQReply &reply)
{
    QByteArray baData;
    baData.append(char(reply.iRecordCount < 0 ? reply.listRecord.size() : reply.iRecordCount));
    for (const stKQRecord &rec : reply.listRecord) {
        Append16(baData, rec.usType);
        baData.append(char(rec.baValue.size()));
        baData.append(rec.baValue);
    }
    QByteArray baFrame(NPA::c_iReplyDataOffset, '\0');
    std::memcpy(baFrame.data(), NPA::c_szMagic, 4);
    std::memcpy(baFrame.data() + 8, sn, 4);
    const std::uint32_t uiLength = std::uint32_t(baData.size() + NPA::c_iReplyDataBias);
    baFrame[16] = char(uiLength >> 8);
    baFrame[17] = char(uiLength);
    baFrame[28] = char(reply.ucReturn);
    baFrame.append(baData);

    const int iCRCEnd = std::min(baFrame.size(), NPA::c_iCRCLimit);
    NPA::GetCRC(reinterpret_cast<const unsigned char *>(baFrame.constData()) + 8, std::size_t(iCRCEnd - 8),
                reinterpret_cast<unsigned char *>(baFrame.data()) + 4);
    return baFrame;
}

QByteArray KQStatusBuffer(const QByteArray &baFrame)
{
    return QByteArray(7, '\0') + baFrame;
}
