#include "PrinterTransport.h"

#include "PrinterModel.h"
#include "UsbPrinter.h"

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

const stPrinterTransport c_stUsbTransport = {"usb", GetPrinterStatusUSB, CancelPrinterJob, UsbOfflineFailure};
const stPrinterTransport c_stNetworkTransport = {"network", QueryNetwork, CancelPrinterNetJob, NetworkOfflineFailure};
}  // namespace

const stPrinterTransport &TransportFor(int iConnectType)
{
    return iConnectType == CONNECT_USB ? c_stUsbTransport : c_stNetworkTransport;
}
