// Status replies straight from a printer: both layouts and both KQ variants.
#include <cstdint>
#include <vector>

#include "UtilPrinterStatus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    UtilPrinterStatus standard(enKQVariant::Service);
    if (standard.parseRecvBuf(data, size)) {
        stPrinterState st;
        standard.ToPrinterState(st);
    }
    for (enKQVariant variant : {enKQVariant::Service, enKQVariant::Tool}) {
        UtilPrinterStatus kq(variant);
        if (kq.parseRecvBuf_KQ(data, size)) {
            stPrinterState st;
            kq.ToPrinterState_KQ(st);
        }
    }
    return 0;
}
