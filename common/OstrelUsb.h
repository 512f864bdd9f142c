// The USB vendor id of every supported printer and scanner. Plain C++ so that the scan
// daemon, which links no Qt, shares it with the Qt programs.
#pragma once

constexpr int c_iVendorOstrel = 0x300E;
