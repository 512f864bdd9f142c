// What a raw page holds: the scanner sends lines of pixels exactly as the settings asked
// for them, with no header, so the settings alone tell its shape.
#pragma once

#include "quarn_wire.h"

// Scan areas are given in the scanner's units: dots at its basic resolution.
constexpr unsigned c_uQuarnUnitsPerInch = 300;

enum enQuarnPixels
{
    QUARN_PIXELS_LINEART,  // one bit per pixel, lines padded to whole bytes
    QUARN_PIXELS_GRAY,     // one byte per pixel
    QUARN_PIXELS_RGB,      // three bytes per pixel
};

struct stQuarnRawGeometry
{
    enQuarnPixels enPixels = QUARN_PIXELS_RGB;
    int iPixels = 0;        // per line
    int iLines = 0;
    int iBytesPerLine = 0;

    long long Bytes() const { return (long long)iBytesPerLine * iLines; }
};

enQuarnPixels QuarnPixelsOf(const SettingInfo &info);
// uUnitsPerInch: the scanner's basic resolution.
stQuarnRawGeometry QuarnRawGeometry(const SettingInfo &info, unsigned uUnitsPerInch = c_uQuarnUnitsPerInch);
