// What the kernel knows about the other end of a client connection on this machine: who
// owns it and whether it has read everything sent to it. Loopback TCP peers are looked up
// through the socket diagnostics netlink interface by their address pair; local stream
// pairs (the tests' and the fuzzer's) answer through their own socket options.
#pragma once

#include <sys/types.h>

// The uid owning the peer's socket; false when it cannot be learnt.
bool QuarnPeerUid(int fd, uid_t *pUid);

// True when the peer's socket still exists and holds no byte it has not read, i.e. the
// peer's program took in everything sent on this connection so far.
bool QuarnPeerReadAll(int fd);
