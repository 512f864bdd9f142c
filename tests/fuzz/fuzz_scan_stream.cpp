// A network scanner's scan data stream (port 2080) as the daemon reads it: the job's
// first block, then records until the first that ends the stream.
#include <cstdint>
#include <cstdlib>

#include "quarn_netparse.h"

namespace
{
constexpr std::size_t c_iMaxInput = 1 << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > c_iMaxInput)
        return 0;
    stQuarnMemoryBytes mem {data, size};
    stQuarnByteSource src {&mem, QuarnReadMemory};
    // Inputs without a first block still reach the record reader.
    if (QuarnSkipFirstBlock(src) != SANE_STATUS_GOOD)
        mem = {data, size};
    unsigned char *pBuf = nullptr;
    int iSize = 0;
    for (int iStatus = SANE_STATUS_GOOD; iStatus == SANE_STATUS_GOOD;) {
        ScanStatus st = SCAN_STATUS_OPERATION_CONTINUOUS;
        int iLen = 0;
        iStatus = QuarnReadScanRecord(src, &st, &pBuf, &iSize, &iLen);
        if (iLen < 0 || iLen > iSize || (iLen > 0 && iStatus != SANE_STATUS_GOOD))
            std::abort();
    }
    std::free(pBuf);
    return 0;
}
