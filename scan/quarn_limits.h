// What one local user may take of the daemon. Every local process can connect, and each
// connection is a root process: these bound what a careless or hostile client can hold.
#pragma once

// Connection processes at once, for everyone and for one uid; a connection beyond either
// is closed as soon as it is accepted.
constexpr int c_iQuarnMaxConnections = 64;
constexpr int c_iQuarnMaxConnectionsPerUid = 16;
// A request record (the rest of a command code and what follows it) must arrive whole
// within this time once its first byte has come.
constexpr int c_iQuarnRequestTimeoutMs = 30000;
// A client that takes in none of the bytes sent to it for this long loses its connection,
// and with it its scan: stopped, pages deleted, scanner released.
constexpr int c_iQuarnClientStallMs = 60000;
// Command codes the daemon does not know, in a row, before it hangs up.
constexpr int c_iQuarnMaxInvalidCodes = 64;

// The tests shorten the two deadlines through the environment (milliseconds).
constexpr char c_szQuarnRequestTimeoutVar[] = "OSTREL_SCAN_REQUEST_TIMEOUT_MS";
constexpr char c_szQuarnClientStallVar[] = "OSTREL_SCAN_CLIENT_STALL_MS";

// The deadline from the environment variable when it holds a positive number, else the default.
int QuarnDeadlineMs(const char *szVariable, int iDefaultMs);
