// CUPS's printers.conf and PPD files as the service reads them.
#include <QBuffer>

#include <cstdint>

#include "service/CupsQueues.h"

using namespace service;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray ba(reinterpret_cast<const char *>(data), int(size));
    QBuffer conf(&ba);
    conf.open(QIODevice::ReadOnly);
    CupsQueues::ParsePrintersConf(conf, [](const QString &, QString &strModel) {
        strModel = "OSTREL VX1310";
        return true;
    });
    QBuffer ppd(&ba);
    ppd.open(QIODevice::ReadOnly);
    QString strModel;
    CupsQueues::ParsePpdModelName(ppd, strModel);
    return 0;
}
