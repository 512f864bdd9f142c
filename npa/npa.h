// NPA: the framed request/response protocol of the KQ printer family.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

namespace NPA
{
constexpr int c_iHeaderSize = 28;          // request bytes before the command data
constexpr int c_iLengthBias = 18;          // length field = frame length - 18
constexpr int c_iReplyDataOffset = 29;     // first data byte of a reply
constexpr int c_iReplyDataBias = 11;       // data of the first block = L - 11
constexpr int c_iBlockSize = 256;          // replies continue in blocks of this size
constexpr int c_iBlockDataOffset = 28;     // first data byte of a continuation block
constexpr int c_iBlockDataBias = 10;       // data of a continuation block = Lk - 10
constexpr int c_iCRCLimit = 255;           // replies are checked over bytes 8 .. 254 at most
constexpr int c_iPathMax = 255;            // a path length travels in one byte
constexpr unsigned char c_ucContinued = 0x71;
constexpr unsigned char c_szMagic[4] = {'Q', 'N', 'C', 'S'};

// The status command of the service.
constexpr int c_iStatusCmdCapacity = 512;
constexpr int c_iStatusCmdLength = 39;

extern const std::uint32_t crc32_tab[256];

// CRC-32 (IEEE 802.3), most significant byte first; no input gives four zero bytes.
void GetCRC(const unsigned char *data, std::size_t count, unsigned char out[4]);

class CCmd
{
public:
    explicit CCmd(int iCapacity = c_iStatusCmdCapacity) : m_iCapacity(iCapacity) {}
    CCmd(const CCmd &) = delete;
    CCmd &operator=(const CCmd &) = delete;

    bool GenerateCmd(unsigned char c1, unsigned char c2, unsigned char c3, unsigned char c4,
                     std::time_t now = std::time(nullptr));
    void SetCmdData(const unsigned char *data, int iCount);
    void SetCmdLength();
    void SetCmdCRC();
    void SetCmdProtocolType(unsigned char ucType);
    void SetCmdPathLength(std::string_view path);
    void SetCmdPath(std::string_view path);

    const unsigned char *Frame() const { return m_buffer.data(); }
    int Length() const { return m_iLength; }
    const unsigned char *SN() const { return m_szSN; }

private:
    bool HasBuffer() const { return !m_buffer.empty(); }

    std::vector<unsigned char> m_buffer;
    int m_iCapacity;
    int m_iLength = 0;
    int m_iWritePos = 0;
    unsigned char m_szSN[4] = {};
};

// Builds the 39-byte status request that asks for the state, qualifier, error,
// warning and toner records.
bool BuildStatusCmd(CCmd &cmd, std::time_t now = std::time(nullptr));

class CParse
{
public:
    CParse(const CCmd *pCmd, int iRecvLength);
    CParse(const CParse &) = delete;
    CParse &operator=(const CParse &) = delete;

    unsigned char *Buffer() { return m_recv.data(); }
    bool CheckResult(int iRecvLength);
    bool GetData(unsigned char *&pData, int &iLength);
    bool GetDataForMutil(unsigned char *&pData, int &iLength);

private:
    int Field16(int iOffset) const { return (m_recv[iOffset] << 8) | m_recv[iOffset + 1]; }

    std::vector<unsigned char> m_recv;
    std::vector<unsigned char> m_data;
    int m_iCapacity;
    int m_iRecvLength = 0;
    const CCmd *m_pCmd;
};
}  // namespace NPA
