#include "npa.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "UtilLog.h"

namespace NPA
{
const std::uint32_t crc32_tab[256] = {
#include "crc32_tab.inc"
};

namespace
{
constexpr int c_iSNOffset = 8;
constexpr int c_iLengthOffset = 16;
constexpr int c_iContinueOffset = 18;
constexpr int c_iProtocolOffset = 20;
constexpr int c_iReturnOffset = 28;
constexpr int c_iPathLengthOffset = 28;
constexpr unsigned char c_szFixedHeader[] = {0x50, 0xA1, 0x01};
constexpr unsigned char c_szFixedTrailer[] = {0x56, 0x00, 0x01};

// State, qualifier, error, warning and toner records.
constexpr unsigned char c_szStatusItems[] = {0x05, 0x00, 0x06, 0x00, 0x07, 0x00, 0x09, 0x00, 0x0C, 0x00, 0x1D};

void PutBE32(unsigned char *p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}
}  // namespace

void GetCRC(const unsigned char *data, std::size_t count, unsigned char out[4])
{
    if (count == 0) {
        PutBE32(out, 0);
        return;
    }
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < count; ++i)
        crc = crc32_tab[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    PutBE32(out, crc ^ 0xFFFFFFFFu);
}

bool CCmd::GenerateCmd(unsigned char c1, unsigned char c2, unsigned char c3, unsigned char c4, std::time_t now)
{
    if (m_iCapacity < c_iHeaderSize)
        return false;
    m_buffer.assign(m_iCapacity, 0);
    std::memcpy(m_buffer.data(), c_szMagic, sizeof(c_szMagic));
    PutBE32(m_szSN, static_cast<std::uint32_t>(now));
    std::memcpy(&m_buffer[c_iSNOffset], m_szSN, sizeof(m_szSN));
    std::memcpy(&m_buffer[c_iLengthBias], c_szFixedHeader, sizeof(c_szFixedHeader));
    const unsigned char szCommand[] = {c1, c2, c3, c4};
    std::memcpy(&m_buffer[21], szCommand, sizeof(szCommand));
    std::memcpy(&m_buffer[25], c_szFixedTrailer, sizeof(c_szFixedTrailer));
    m_iWritePos = c_iHeaderSize;
    return true;
}

void CCmd::SetCmdData(const unsigned char *data, int iCount)
{
    if (!HasBuffer() || iCount < 0 || iCount > m_iCapacity - m_iWritePos)
        return;
    std::memcpy(&m_buffer[m_iWritePos], data, iCount);
    m_iWritePos += iCount;
}

void CCmd::SetCmdLength()
{
    if (!HasBuffer())
        return;
    m_iLength = m_iWritePos;
    const int iField = m_iLength - c_iLengthBias;
    m_buffer[c_iLengthOffset] = static_cast<unsigned char>(iField >> 8);
    m_buffer[c_iLengthOffset + 1] = static_cast<unsigned char>(iField);
}

void CCmd::SetCmdCRC()
{
    if (!HasBuffer() || m_iLength <= c_iSNOffset)
        return;
    GetCRC(&m_buffer[c_iSNOffset], m_iLength - c_iSNOffset, &m_buffer[4]);
}

void CCmd::SetCmdProtocolType(unsigned char ucType)
{
    if (!HasBuffer() || m_iCapacity <= c_iProtocolOffset) {
        printf("Buffer size is too small to modify the 21st byte!\n");
        return;
    }
    m_buffer[c_iProtocolOffset] = ucType;
}

void CCmd::SetCmdPathLength(std::string_view path)
{
    if (!HasBuffer() || m_iWritePos + 1 > m_iCapacity || path.size() > std::size_t(c_iPathMax)) {
        printf("Buffer size is too small to modify the 29th byte!\n");
        return;
    }
    m_buffer[c_iPathLengthOffset] = static_cast<unsigned char>(path.size());
    m_iWritePos += 1;
}

void CCmd::SetCmdPath(std::string_view path)
{
    if (!HasBuffer() || path.size() > std::size_t(c_iPathMax) ||
        path.size() > std::size_t(m_iCapacity - m_iWritePos)) {
        printf("Buffer size is too small to store the file path!\n");
        return;
    }
    std::memcpy(&m_buffer[m_iWritePos], path.data(), path.size());
    m_iWritePos += int(path.size());
}

bool BuildStatusCmd(CCmd &cmd, std::time_t now)
{
    if (!cmd.GenerateCmd(0x01, 0x00, 0x05, 0x01, now))
        return false;
    cmd.SetCmdData(c_szStatusItems, sizeof(c_szStatusItems));
    cmd.SetCmdLength();
    cmd.SetCmdCRC();
    return true;
}

CParse::CParse(const CCmd *pCmd, int iRecvLength)
    : m_recv(std::max(iRecvLength, 0), 0), m_iCapacity(std::max(iRecvLength, 0)), m_pCmd(pCmd)
{
}

bool CParse::CheckResult(int iRecvLength)
{
    if (iRecvLength <= c_iHeaderSize || iRecvLength > m_iCapacity || m_recv.empty()) {
        LOG_WRITE("Invalid memory or memory size.");
        return false;
    }
    m_iRecvLength = iRecvLength;
    if (std::memcmp(m_recv.data(), c_szMagic, sizeof(c_szMagic)) != 0) {
        LOG_WRITE("Invalid header of the frame.");
        return false;
    }
    unsigned char szCRC[4];
    GetCRC(&m_recv[c_iSNOffset], std::min(iRecvLength, c_iCRCLimit) - c_iSNOffset, szCRC);
    if (std::memcmp(szCRC, &m_recv[4], sizeof(szCRC)) != 0) {
        LOG_WRITE("CRC is incorrect.");
        return false;
    }
    if (!m_pCmd || std::memcmp(&m_recv[c_iSNOffset], m_pCmd->SN(), 4) != 0) {
        LOG_WRITE("SN is incorrect.");
        return false;
    }
    if (m_recv[c_iReturnOffset] != 0) {
        LOG_WRITE("return value is NOT 0!");
        return false;
    }
    return true;
}

bool CParse::GetData(unsigned char *&pData, int &iLength)
{
    if (m_iRecvLength <= c_iHeaderSize)
        return false;
    if (m_recv[c_iContinueOffset] == c_ucContinued && m_iRecvLength >= c_iBlockSize)
        return GetDataForMutil(pData, iLength) && iLength > 0;
    const int iField = Field16(c_iLengthOffset);
    if (iField <= c_iReplyDataBias || iField - c_iReplyDataBias > m_iRecvLength - c_iReplyDataOffset)
        return false;
    pData = &m_recv[c_iReplyDataOffset];
    iLength = iField - c_iReplyDataBias;
    return true;
}

bool CParse::GetDataForMutil(unsigned char *&pData, int &iLength)
{
    if (m_iRecvLength <= c_iHeaderSize)
        return false;
    m_data.assign(m_iCapacity, 0);
    iLength = 0;
    pData = m_data.data();

    const int iFirst = Field16(c_iLengthOffset) - c_iReplyDataBias;
    if (iFirst < 0 || c_iReplyDataOffset + iFirst > std::min(m_iRecvLength, c_iBlockSize))
        return false;
    std::memcpy(m_data.data(), &m_recv[c_iReplyDataOffset], iFirst);
    iLength = iFirst;

    for (int iBase = c_iBlockSize; iBase < m_iRecvLength; iBase += c_iBlockSize) {
        if (iBase + c_iBlockDataOffset > m_iRecvLength)
            return false;  // a block cut inside its header
        const int iCount = Field16(iBase + c_iLengthOffset) - c_iBlockDataBias;
        const int iBlockEnd = std::min(m_iRecvLength, iBase + c_iBlockSize);
        if (iCount < 0 || iBase + c_iBlockDataOffset + iCount > iBlockEnd)
            return false;
        if (iLength + iCount >= m_iRecvLength) {
            LOG_WRITE("recv data size is greater then buff size.");
            return false;
        }
        std::memcpy(&m_data[iLength], &m_recv[iBase + c_iBlockDataOffset], iCount);
        iLength += iCount;
        if (m_recv[iBase + c_iContinueOffset] != c_ucContinued)
            break;
    }
    return true;
}
}  // namespace NPA
