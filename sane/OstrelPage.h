// Turns a page file as the scanner delivered it into a frame: JPEG pages are decoded,
// raw pages take the geometry of the scan and are read from the file as they are
// handed out.
#pragma once

#include <cstdint>
#include <vector>

#include "OstrelScanner.h"
#include "quarn_wire.h"

// The page file open at iFd, llBytes long, becomes the frame; the descriptor is the
// frame's (or closed) afterwards. SANE_STATUS_GOOD, or SANE_STATUS_IO_ERROR for a page
// that is cut short or damaged: a short image is never passed on as a good one.
int OstrelTakePage(int iFd, long long llBytes, const SettingInfo &info, unsigned uUnitsPerInch,
                   stOstrelFrame *pFrame);

// The frame a raw page of these settings fills.
stOstrelFrame OstrelRawFrame(const SettingInfo &info, unsigned uUnitsPerInch);
