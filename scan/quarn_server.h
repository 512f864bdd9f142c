// The daemon's process model: detach from the terminal, then accept clients on the
// loopback address, one connection process per client.
#pragma once

// Leaves the launcher and its first child behind; only a session-less grandchild
// returns, with "/" as its directory and /dev/null as its standard streams.
void create_daemon();

// Installs the SIGQUIT handler that ends every loop; false when that failed.
bool InitQuitSignal();

// Serves until SIGQUIT; exits with 1 when the port cannot be taken.
int mainProc();
