#include "quarn_peer.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace
{
constexpr int c_iDiagReplySize = 8192;
constexpr int c_iDiagWaitMs = 1000;

struct stDiagRequest
{
    nlmsghdr hdr;
    inet_diag_req_v2 req;
};

struct stPeerState
{
    uid_t uid = 0;
    unsigned uUnread = 0;
};

sa_family_t FamilyOf(int fd)
{
    sockaddr_storage addr {};
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return AF_UNSPEC;
    return addr.ss_family;
}

// The peer's socket is the one whose source is our peer address and whose destination is
// our own address: the same four numbers, seen from the other side.
bool FillPeerId(int fd, inet_diag_sockid *pId)
{
    sockaddr_in local {}, remote {};
    socklen_t lenLocal = sizeof(local), lenRemote = sizeof(remote);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &lenLocal) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr *>(&remote), &lenRemote) != 0 || local.sin_family != AF_INET ||
        remote.sin_family != AF_INET)
        return false;
    std::memset(pId, 0, sizeof(*pId));
    pId->idiag_sport = remote.sin_port;
    pId->idiag_dport = local.sin_port;
    pId->idiag_src[0] = remote.sin_addr.s_addr;
    pId->idiag_dst[0] = local.sin_addr.s_addr;
    pId->idiag_if = 0;
    pId->idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    pId->idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return true;
}

bool SendDiagRequest(int fdNl, const inet_diag_sockid &id)
{
    stDiagRequest msg {};
    msg.hdr.nlmsg_len = sizeof(msg);
    msg.hdr.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.hdr.nlmsg_flags = NLM_F_REQUEST;
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id = id;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    return sendto(fdNl, &msg, sizeof(msg), 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof(kernel)) ==
           ssize_t(sizeof(msg));
}

// One exact lookup: the kernel answers with the socket's record or an error message.
bool ReadDiagReply(int fdNl, stPeerState *pState)
{
    alignas(nlmsghdr) char acBuf[c_iDiagReplySize];
    ssize_t r;
    do {
        r = recv(fdNl, acBuf, sizeof(acBuf), 0);
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return false;
    const auto *pHdr = reinterpret_cast<const nlmsghdr *>(acBuf);
    int iLeft = int(r);
    for (; NLMSG_OK(pHdr, iLeft); pHdr = NLMSG_NEXT(pHdr, iLeft)) {
        if (pHdr->nlmsg_type != SOCK_DIAG_BY_FAMILY || pHdr->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return false;
        const auto *pMsg = static_cast<const inet_diag_msg *>(NLMSG_DATA(pHdr));
        pState->uid = pMsg->idiag_uid;
        pState->uUnread = pMsg->idiag_rqueue;
        return true;
    }
    return false;
}

bool QueryTcpPeer(int fd, stPeerState *pState)
{
    inet_diag_sockid id;
    if (!FillPeerId(fd, &id))
        return false;
    const int fdNl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fdNl < 0)
        return false;
    const timeval tv {c_iDiagWaitMs / 1000, (c_iDiagWaitMs % 1000) * 1000};
    setsockopt(fdNl, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const bool bOk = SendDiagRequest(fdNl, id) && ReadDiagReply(fdNl, pState);
    close(fdNl);
    return bOk;
}
}  // namespace

bool QuarnPeerUid(int fd, uid_t *pUid)
{
    if (FamilyOf(fd) == AF_UNIX) {
        ucred cred {};
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
            return false;
        *pUid = cred.uid;
        return true;
    }
    stPeerState state;
    if (!QueryTcpPeer(fd, &state))
        return false;
    *pUid = state.uid;
    return true;
}

bool QuarnPeerReadAll(int fd)
{
    // A local stream charges what it sent to the sender until the reader takes it.
    if (FamilyOf(fd) == AF_UNIX) {
        int iQueued = 0;
        return ioctl(fd, SIOCOUTQ, &iQueued) == 0 && iQueued == 0;
    }
    stPeerState state;
    return QueryTcpPeer(fd, &state) && state.uUnread == 0;
}
