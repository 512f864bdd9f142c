// NPA reply frames checked against a fixed request.
#include <algorithm>
#include <cstdint>

#include "npa.h"

namespace
{
constexpr std::time_t c_tRequest = 0x65A1B2C3;
constexpr std::size_t c_iMaxReply = 8192;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > c_iMaxReply)
        return 0;
    NPA::CCmd cmd;
    NPA::BuildStatusCmd(cmd, c_tRequest);
    NPA::CParse parse(&cmd, int(size));
    std::copy(data, data + size, parse.Buffer());
    parse.CheckResult(int(size));
    unsigned char *pData = nullptr;
    int iLength = 0;
    parse.GetData(pData, iLength);
    parse.GetDataForMutil(pData, iLength);
    return 0;
}
