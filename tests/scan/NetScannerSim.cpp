#include "NetScannerSim.h"

#include "NetScanPattern.h"

namespace
{
constexpr int c_iLogFields = 2;  // kind, bytes
constexpr int c_iKindField = 0;
constexpr int c_iBytesField = 1;
}  // namespace

// The program creates its log only once all three services listen.
bool NetScannerSim::Start(const QString &strAddress, const QStringList &listSettings, const QStringList &listExtra)
{
    return Launch(Program(), strAddress, listSettings, listExtra);
}

QList<QByteArray> NetScannerSim::Received(const QString &strKind) const
{
    return Logged(strKind, c_iLogFields, c_iKindField, c_iBytesField);
}

QString NetScannerSim::Program()
{
    return QStringLiteral(NET_SCANNER_SIM_PATH);
}

QByteArray NetScannerSim::PagePayload(int iPage, int iBytes)
{
    QByteArray ba(iBytes, '\0');
    for (int i = 0; i < iBytes; ++i)
        ba[i] = char(NetScanPatternByte(iPage, i));
    return ba;
}
