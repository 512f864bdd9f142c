#include "OstrelPixels.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "OstrelDebug.h"

OstrelPixels::~OstrelPixels()
{
    Clear();
}

OstrelPixels::OstrelPixels(OstrelPixels &&other) noexcept
{
    *this = std::move(other);
}

OstrelPixels &OstrelPixels::operator=(OstrelPixels &&other) noexcept
{
    if (this == &other)
        return *this;
    Clear();
    m_vecBytes = std::move(other.m_vecBytes);
    m_nPos = std::exchange(other.m_nPos, 0);
    m_iFd = std::exchange(other.m_iFd, -1);
    m_llFileLeft = std::exchange(other.m_llFileLeft, 0);
    other.m_vecBytes.clear();
    return *this;
}

void OstrelPixels::SetMemory(std::vector<uint8_t> vecBytes)
{
    Clear();
    m_vecBytes = std::move(vecBytes);
}

void OstrelPixels::SetFile(int iFd, long long llBytes)
{
    Clear();
    m_iFd = iFd;
    m_llFileLeft = llBytes;
}

void OstrelPixels::Clear()
{
    if (m_iFd >= 0)
        close(m_iFd);
    m_iFd = -1;
    m_llFileLeft = 0;
    m_vecBytes.clear();
    m_vecBytes.shrink_to_fit();
    m_nPos = 0;
}

long OstrelPixels::Read(uint8_t *pData, size_t nMax)
{
    if (m_iFd < 0) {
        const size_t nCount = std::min(m_vecBytes.size() - m_nPos, nMax);
        if (nCount == 0)
            return 0;
        std::memcpy(pData, m_vecBytes.data() + m_nPos, nCount);
        m_nPos += nCount;
        return long(nCount);
    }
    const size_t nWant = size_t(std::min((long long)nMax, m_llFileLeft));
    if (nWant == 0)
        return 0;
    ssize_t r;
    do {
        r = read(m_iFd, pData, nWant);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) {
        OstrelDebug(OSTREL_DBG_ERROR, "page file ends %lld bytes early: %s", m_llFileLeft,
                    r < 0 ? std::strerror(errno) : "end of file");
        return -1;
    }
    m_llFileLeft -= r;
    return long(r);
}
