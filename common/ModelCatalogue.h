// The compiled-in catalogue of supported models as plain constants, so that programs
// without Qt (the SANE backend) read the same rows as printsvc and printtool.
#pragma once

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
    {"VX3310%20Pro", "OSTREL VX3310 Pro", "OSTREL_VX3310Pro.ppd", 0x300E, 0x30A1},
    {"VX1310", "OSTREL VX1310", "OSTREL_VX1310.ppd", 0x300E, 0x30A2},
};

constexpr int c_iVendorOstrel = 0x300E;
