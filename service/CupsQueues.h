// Reading CUPS's own configuration: the queues of printers.conf and the model
// name of each queue's PPD.
#pragma once

#include <QList>
#include <QString>

#include <functional>

#include "PrinterModel.h"
#include "UtilCups.h"

class QIODevice;

namespace service
{
namespace CupsQueues
{
// Decides whether a queue's driver is a supported one; stores the model as the PPD writes it.
using DriverMatch = std::function<bool(const QString &strQueue, QString &strModel)>;

// The queues of a printers.conf with a name and a usable device URI, in file order.
QList<stPrinterInfo> ParsePrintersConf(QIODevice &file, const DriverMatch &match);
// The scheduler's queues with a usable device URI, in its order. The model comes from the
// PPD, which the scheduler writes at once, so both sources decide alike.
QList<stPrinterInfo> FromScheduler(const QList<stCupsQueue> &listQueue, const DriverMatch &match);
// The first *ModelName of a PPD that names a catalogue model.
bool ParsePpdModelName(QIODevice &file, QString &strModel);
// Sets connection type, port and URI from a DeviceURI value; false for unusable schemes.
bool ApplyDeviceUri(const QString &strUri, stPrinterInfo &info);
}  // namespace CupsQueues
}  // namespace service
