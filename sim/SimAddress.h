// Where the simulators may listen: loopback only, and never 127.0.0.1, which belongs to
// the machine's own services (the scan daemon among them).
#pragma once

#include <arpa/inet.h>

#include <cstdint>

constexpr std::uint32_t c_uiLoopbackNet = 0x7F000000;
constexpr std::uint32_t c_uiLoopbackMask = 0xFF000000;
constexpr std::uint32_t c_uiFirstSimAddress = 0x7F000002;

inline bool IsSimAddress(std::uint32_t uiAddress)
{
    return (uiAddress & c_uiLoopbackMask) == c_uiLoopbackNet && uiAddress >= c_uiFirstSimAddress;
}

// Dotted text to a host-order address, if it is one a simulator may use.
inline bool ParseSimAddress(const char *szText, std::uint32_t *puiAddress)
{
    in_addr addr = {};
    if (inet_pton(AF_INET, szText, &addr) != 1 || !IsSimAddress(ntohl(addr.s_addr)))
        return false;
    *puiAddress = ntohl(addr.s_addr);
    return true;
}
