#include "PrivateBus.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>

#include "TestSupport.h"

using namespace std::chrono;

namespace
{
constexpr milliseconds c_startTimeout{10000};
constexpr milliseconds c_readyTimeout{10000};
constexpr milliseconds c_stopTimeout{5000};
// The scheduler's notifier runs as its unprivileged user and has to reach the socket.
constexpr mode_t c_modeBusDir = 0711;

bool SocketAccepts(const QString &strPath)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const QByteArray baPath = QFile::encodeName(strPath);
    if (baPath.size() >= int(sizeof(addr.sun_path)))
        return false;
    std::memcpy(addr.sun_path, baPath.constData(), size_t(baPath.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool bConnected = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return bConnected;
}
}  // namespace

PrivateBus::PrivateBus() : m_dir(QDir::tempPath() + "/ostrel-bus-XXXXXX") {}

PrivateBus::~PrivateBus()
{
    Stop();
}

bool PrivateBus::Start()
{
    if (Running())
        return true;
    if (!m_dir.isValid())
        return Fail("no temporary directory: " + m_dir.errorString());
    if (::chmod(QFile::encodeName(m_dir.path()).constData(), c_modeBusDir) != 0)
        return Fail("cannot open " + m_dir.path() + " to the scheduler's user");
    const QString strProgram = QStandardPaths::findExecutable("dbus-daemon");
    if (strProgram.isEmpty())
        return Fail("dbus-daemon not found");
    m_process.setProgram(strProgram);
    m_process.setArguments({QString("--config-file=") + PRIVATE_BUS_CONFIG, "--address=" + Address(), "--nofork",
                            "--nopidfile"});
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setStandardOutputFile(m_dir.path() + "/bus.out");
    m_process.setStandardErrorFile(m_dir.path() + "/bus.out");
    m_process.start();
    if (!m_process.waitForStarted(int(c_startTimeout.count())))
        return Fail("dbus-daemon did not start: " + m_process.errorString());
    if (WaitUntil([&] { return !Running() || SocketAccepts(Socket()); }, c_readyTimeout) && Running())
        return true;
    Stop();
    return Fail("dbus-daemon did not listen: " + QString::fromLocal8Bit(ReadWholeFile(m_dir.path() + "/bus.out")));
}

void PrivateBus::Stop()
{
    if (!Running())
        return;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(int(c_stopTimeout.count()))) {
        m_process.kill();
        m_process.waitForFinished(int(c_stopTimeout.count()));
    }
}

bool PrivateBus::Running() const
{
    return m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(0);
}

QString PrivateBus::Address() const
{
    return "unix:path=" + Socket();
}

QString PrivateBus::AbsentAddress(const QString &strDir)
{
    return "unix:path=" + strDir + "/no-system-bus";
}

QString PrivateBus::Socket() const
{
    return m_dir.path() + "/system_bus_socket";
}

bool PrivateBus::Fail(const QString &strWhy)
{
    m_strLastError = strWhy;
    return false;
}
