// The compiled-in catalogue of supported models as plain constants, so that programs
// without Qt (the scan daemon, the SANE backend) read the same rows as printsvc and printtool.
#pragma once

// The USB vendor id of every supported printer and scanner.
constexpr int c_iVendorOstrel = 0x300E;

struct stModelRow
{
    const char *szURIModel;   // model text inside a CUPS USB device URI
    const char *szModelName;  // *ModelName of the model's PPD
    const char *szPPDName;
    int iVID;
    int iPID;
};

// Lookups walk these rows from row 0 and stop at the first hit: row order matters.
constexpr stModelRow c_astModelRows[] = {
    {"VX3310%20Pro", "OSTREL VX3310 Pro", "OSTREL_VX3310Pro.ppd", c_iVendorOstrel, 0x30A1},
    {"VX1310", "OSTREL VX1310", "OSTREL_VX1310.ppd", c_iVendorOstrel, 0x30A2},
};
