// The printer list file as printtool and printstat read it, followed by the per-row
// texts that come from its records alone.
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>

#include "SharedPrinterList.h"
#include "UtilCfgFiles.h"
#include "UtilPaths.h"
#include "tool/UtilPrinterText.h"

using namespace tool;

namespace
{
QString PrepareRoot()
{
    static QString s_strRoot;
    if (!s_strRoot.isEmpty())
        return s_strRoot;
    QByteArray tmpl = QDir::tempPath().toUtf8() + "/fuzz_list_XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        std::abort();
    ::setenv("OSTREL_PREFIX", tmpl.constData(), 1);
    s_strRoot = QString::fromUtf8(tmpl);
    QDir().mkpath(UtilPaths::CfgDir());
    return s_strRoot;
}

// QSettings keeps parsed files in a cache keyed by size and modification time; every
// input gets its own time so that it is always parsed afresh.
void WriteListFile(const std::uint8_t *data, std::size_t size)
{
    static long s_lStamp = 0;
    const QByteArray path = QFile::encodeName(UtilCfgFiles::PrinterListPath());
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    const struct timespec times[2] = {{++s_lStamp, 0}, {s_lStamp, 0}};
    ::utimensat(AT_FDCWD, path.constData(), times, 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    PrepareRoot();
    WriteListFile(data, size);
    const QList<stPrinterManager> list = InitPrinterList(UtilCfgFiles::ReadPrinterList());
    for (const stPrinterManager &printer : list) {
        IsKQFamily(printer.stInfo);
        ConnectionText(printer.stInfo, 0);
        TonerText(printer);
    }
    return 0;
}
