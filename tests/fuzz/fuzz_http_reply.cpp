// The HTTP replies of a network scanner (port 80) as the daemon parses them: the scan
// post's RESULT line, the capabilities, the feeder status and the end of a reply.
#include <cstdint>
#include <string>

#include "quarn_netparse.h"

namespace
{
constexpr std::size_t c_iReplyBuffer = 8192;  // the daemon keeps one byte for the NUL
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size >= c_iReplyBuffer)
        return 0;
    const std::string strReply(reinterpret_cast<const char *>(data), size);
    quarn_http_ScanStartResult(strReply.c_str());
    ScannerCapabilities caps {};
    quarn_ParseScanCapabilities(strReply.c_str(), &caps);
    ADFStatus st = ADF_STATUS_EMPTY;
    QuarnAdfStatusOfReply(strReply.data(), int(size), &st);
    QuarnHttpReplyComplete(strReply.data(), int(size));
    return 0;
}
