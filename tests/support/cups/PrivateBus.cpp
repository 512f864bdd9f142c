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

// A bus of the system type denies what its policy does not allow, replies included
// (the scheduler then waits for them at start); this one allows every local user
// everything, as the test's processes belong to root and to the scheduler's user.
const char c_szConfig[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>system</type>\n"
    "  <listen>unix:path=%1</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow user=\"*\"/>\n"
    "    <allow own=\"*\"/>\n"
    "    <allow send_destination=\"*\"/>\n"
    "    <allow receive_sender=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

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
    const QString strConfig = m_dir.path() + "/system-bus.conf";
    if (!WriteWholeFile(strConfig, QString(c_szConfig).arg(Socket()).toUtf8()))
        return Fail("cannot write " + strConfig);
    const QString strProgram = QStandardPaths::findExecutable("dbus-daemon");
    if (strProgram.isEmpty())
        return Fail("dbus-daemon not found");
    m_process.setProgram(strProgram);
    m_process.setArguments({"--config-file=" + strConfig, "--nofork", "--nopidfile"});
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
