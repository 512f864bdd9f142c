// The spine every network simulator shares: parse the options, stop on SIGTERM or
// SIGINT, open the sockets, serve until stopped. The exit status tells a test why the
// program ended.
#pragma once

#include <csignal>

constexpr int c_iSimExitStopped = 0;
constexpr int c_iSimExitNoSocket = 1;
constexpr int c_iSimExitUsage = 2;

// Set by the stop signals; the simulators' loops look at it.
inline volatile std::sig_atomic_t g_bSimQuit = 0;

inline void OnSimStopSignal(int)
{
    g_bSimQuit = 1;
}

// TSim is built from the options and has bool Open() and void Run().
template <typename TSim, typename TOptions>
int RunSimulator(int argc, char **argv, bool (*pfnParse)(int, char **, TOptions &), void (*pfnUsage)())
{
    TOptions opt;
    if (!pfnParse(argc, argv, opt)) {
        pfnUsage();
        return c_iSimExitUsage;
    }
    struct sigaction action = {};
    action.sa_handler = OnSimStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    TSim sim(opt);
    if (!sim.Open())
        return c_iSimExitNoSocket;
    sim.Run();
    return c_iSimExitStopped;
}
