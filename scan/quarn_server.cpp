#include "quarn_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "UtilScanPaths.h"
#include "quarn_dispatch.h"
#include "quarn_jobs.h"
#include "quarn_peer.h"

namespace
{
// The connection processes alive, by the uid of their clients.
std::map<pid_t, uid_t> s_mapConnections;

void OnQuit(int)
{
    flag = 0;
}

// Only there to interrupt a blocked accept, so that ended connections are counted out.
void OnChildEnded(int) {}

void ReapConnections()
{
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
        s_mapConnections.erase(pid);
}

bool UnderLimits(uid_t uid)
{
    int iOfUid = 0;
    for (const auto &item : s_mapConnections)
        iOfUid += item.second == uid ? 1 : 0;
    return int(s_mapConnections.size()) < c_iQuarnMaxConnections && iOfUid < c_iQuarnMaxConnectionsPerUid;
}

void InstallChildHandler()
{
    struct sigaction sa {};
    sa.sa_handler = OnChildEnded;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NOCLDSTOP; // no restart: accept returns and the ended are reaped
    sigaction(SIGCHLD, &sa, nullptr);
}

void ForkAndLeaveParent()
{
    const pid_t pid = fork();
    if (pid < 0) {
        std::puts("fork error");
        std::exit(1);
    }
    if (pid > 0)
        _exit(0);
}

void PointStdioAtNull()
{
    const int fd = open("/dev/null", O_RDWR);
    if (fd < 0)
        return;
    for (int iStd = STDIN_FILENO; iStd <= STDERR_FILENO; ++iStd)
        dup2(fd, iStd);
    if (fd > STDERR_FILENO)
        close(fd);
}

// The protocol has no authentication and trusts native byte order: only clients on
// this machine may reach it.
int OpenListener()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int iReuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iReuse, sizeof(iReuse));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(c_usQuarnPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, c_iQuarnBacklog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

[[noreturn]] void RunConnectionProcess(int fdListen, int fdClient, uid_t uid)
{
    close(fdListen);
    stQuarnConnection conn;
    conn.iSocket = fdClient;
    conn.strScanDir = UtilScanPaths::ScanDir();
    conn.uidPeer = uid;
    conn.iRequestTimeoutMs = QuarnDeadlineMs(c_szQuarnRequestTimeoutVar, c_iQuarnRequestTimeoutMs);
    conn.iClientStallMs = QuarnDeadlineMs(c_szQuarnClientStallVar, c_iQuarnClientStallMs);
    QuarnServeConnection(conn);
    close(fdClient);
    _exit(0);
}

// Blocking, and every record leaves at once: answers and scan records are small and
// complete, and waiting to coalesce them only costs the client a delayed acknowledgement.
void PrepareClientSocket(int fd)
{
    const int iFlags = fcntl(fd, F_GETFL);
    if (iFlags >= 0)
        fcntl(fd, F_SETFL, iFlags & ~O_NONBLOCK);
    const int iNoDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &iNoDelay, sizeof(iNoDelay));
}
}  // namespace

void create_daemon()
{
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    ForkAndLeaveParent();
    if (setsid() < 0) {
        std::puts("setsid error");
        std::exit(1);
    }
    ForkAndLeaveParent();
    if (chdir("/") != 0)
        std::exit(1);
    PointStdioAtNull();
    umask(0);
}

bool InitQuitSignal()
{
    struct sigaction sa {};
    sa.sa_handler = OnQuit;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a blocked accept or receive must see the flag
    return sigaction(SIGQUIT, &sa, nullptr) == 0;
}

int mainProc()
{
    const int fdListen = OpenListener();
    if (fdListen < 0)
        std::exit(1);
    QuarnPrepareScanDir(UtilScanPaths::ScanDir());
    InstallChildHandler();
    while (flag) {
        const int fdClient = accept(fdListen, nullptr, nullptr);
        ReapConnections();
        if (fdClient < 0)
            continue;
        // Whoever cannot be named, or holds too many connections already, is hung up on.
        uid_t uid = 0;
        if (!QuarnPeerUid(fdClient, &uid) || !UnderLimits(uid)) {
            close(fdClient);
            continue;
        }
        PrepareClientSocket(fdClient);
        const pid_t pid = fork();
        if (pid == 0)
            RunConnectionProcess(fdListen, fdClient, uid);
        if (pid > 0)
            s_mapConnections[pid] = uid;
        close(fdClient);
    }
    close(fdListen);
    return 0;
}
