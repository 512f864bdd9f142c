// The pixels of one page as sane_read hands them out. A raw page is read from its file
// straight into the frontend's buffer: pages run to many megabytes, and a copy of one in
// memory costs more than everything the frontend itself does with it. A decoded JPEG
// page lies in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class OstrelPixels
{
public:
    OstrelPixels() = default;
    ~OstrelPixels();
    OstrelPixels(OstrelPixels &&other) noexcept;
    OstrelPixels &operator=(OstrelPixels &&other) noexcept;
    OstrelPixels(const OstrelPixels &) = delete;
    OstrelPixels &operator=(const OstrelPixels &) = delete;

    void SetMemory(std::vector<uint8_t> vecBytes);
    // Takes the descriptor; llBytes are read from where it stands.
    void SetFile(int iFd, long long llBytes);
    void Clear();

    bool AtEnd() const { return m_iFd < 0 ? m_nPos >= m_vecBytes.size() : m_llFileLeft <= 0; }
    // The count placed in pData (0 at the end), or -1 when the file fails.
    long Read(uint8_t *pData, size_t nMax);

private:
    std::vector<uint8_t> m_vecBytes;
    size_t m_nPos = 0;
    int m_iFd = -1;
    long long m_llFileLeft = 0;
};
