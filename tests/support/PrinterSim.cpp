#include "PrinterSim.h"

namespace
{
constexpr int c_iLogFields = 4;  // time, peer, kind, bytes
constexpr int c_iKindField = 2;
constexpr int c_iBytesField = 3;
}  // namespace

bool PrinterSim::Start(const QString &strAddress, const QString &strLayout, const QStringList &listSettings,
                       quint16 usPort)
{
    m_usPort = usPort;
    return Launch(Program(), strAddress, listSettings, {"--port", QString::number(usPort), "--layout", strLayout});
}

QList<QByteArray> PrinterSim::Received(const QString &strKind) const
{
    return Logged(strKind, c_iLogFields, c_iKindField, c_iBytesField);
}

int PrinterSim::Count(const QString &strKind) const
{
    return Received(strKind).size();
}

QString PrinterSim::Program()
{
    return QStringLiteral(PRINTER_SIM_PATH);
}
