#include "PrinterTransport.h"

#include "PrinterModel.h"
#include "UsbPrinter.h"

namespace service
{
namespace
{
// A network printer goes off-line on the sixth failure in a row.
constexpr int c_iNetworkFailuresTolerated = 5;

int QueryNetwork(const QString &strPort, enStatusFamily enFamily, QByteArray &baStatus)
{
    return enFamily == FAMILY_KQ ? GetPrinterStatusUDP_KQ(strPort, baStatus) : GetPrinterStatusUDP(strPort, baStatus);
}

bool UsbOfflineFailure(int iCode, int &)
{
    return iCode == USB_NO_DEVICE;
}

bool NetworkOfflineFailure(int, int &iFailCount)
{
    return ++iFailCount > c_iNetworkFailuresTolerated;
}

const stPrinterTransport c_stUsbTransport = {"usb", GetPrinterStatusUSB, CancelPrinterJob, UsbOfflineFailure,
                                             DescribeUsbResult};
const stPrinterTransport c_stNetworkTransport = {"network", QueryNetwork, CancelPrinterNetJob, NetworkOfflineFailure,
                                                 DescribeQueryResult};
}  // namespace

const char *DescribeQueryResult(int iCode)
{
    switch (iCode) {
    case QUERY_OK: return "done";
    case QUERY_BAD_ADDRESS: return "no address, or the reply was rejected";
    case QUERY_NO_SOCKET: return "no socket";
    case QUERY_SEND_FAILED: return "the request was not sent whole";
    case QUERY_NO_TIMEOUT: return "the receive timeout could not be set";
    case QUERY_NO_ANSWER: return "no valid answer in time";
    default: return "unknown result";
    }
}

const stPrinterTransport &TransportFor(int iConnectType)
{
    return iConnectType == CONNECT_USB ? c_stUsbTransport : c_stNetworkTransport;
}
}  // namespace service
