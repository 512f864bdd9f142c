// Failures an administrator has to see even with the log off: written to stderr,
// which reaches the journal, once when an outage begins and not again until it ends.
#pragma once

#include <atomic>

class UtilOutage
{
public:
    // Reports the failure unless this outage was already reported.
    void Failed(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // The next failure is a new outage.
    void Ended() { m_bOut = false; }

private:
    std::atomic<bool> m_bOut{false};
};
