// The image bytes that net_scanner_sim streams: byte llOffset of page iPage. Tests
// build the same bytes to compare page files with.
#pragma once

constexpr int c_iNetScanPatternPeriod = 4093;  // prime: blocks and pages never line up with it
constexpr int c_iNetScanPageShift = 977;       // so that no two pages are alike

// Where a page's byte lies in one period of the pattern.
inline int NetScanPatternIndex(int iPage, long long llOffset)
{
    return int((llOffset + (long long)c_iNetScanPageShift * iPage) % c_iNetScanPatternPeriod);
}

inline unsigned char NetScanPatternValue(int iIndex)
{
    return static_cast<unsigned char>((unsigned(iIndex) * 2654435761u) >> 21);
}

inline unsigned char NetScanPatternByte(int iPage, long long llOffset)
{
    return NetScanPatternValue(NetScanPatternIndex(iPage, llOffset));
}
