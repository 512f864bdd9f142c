// The backend's side that talks to the scan daemon. It sees neither the SANE headers nor
// lets the daemon's wire records out: both define the SANE status names, so the two
// halves meet here with plain types, and statuses travel as the standard's numbers.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OstrelPixels.h"

enum enOstrelMode
{
    OSTREL_MODE_LINEART,
    OSTREL_MODE_GRAY,
    OSTREL_MODE_COLOR,
};

enum enOstrelSource
{
    OSTREL_SOURCE_FLATBED,
    OSTREL_SOURCE_ADF,
    OSTREL_SOURCE_ADF_DUPLEX,
};

// A device as frontends list it; strName is what the backend returns ("usb:<serial>",
// "net:<address>").
struct stOstrelDevice
{
    std::string strName;
    std::string strModel;
    std::string strType;
};

// What a device can do, for the option constraints.
struct stOstrelCaps
{
    std::vector<int> vecResolutions;  // the values offered, or with bRange the bounds
    bool bRange = false;
    std::vector<enOstrelSource> vecSources;
    bool bColor = true;
    unsigned uUnitsPerInch = 0;       // the scanner's units of the scan area, per inch
    unsigned uMaxWidth = 0;           // in those units
    unsigned uMaxHeight = 0;
    int iFeederMaxDpi = 0;            // the highest feeder resolution, when lower than the rest
};

struct stOstrelSettings
{
    enOstrelMode enMode = OSTREL_MODE_COLOR;
    int iDpi = 300;
    enOstrelSource enSource = OSTREL_SOURCE_FLATBED;
    bool bJpeg = false;
    unsigned uLeft = 0;  // the area, in the scanner's units
    unsigned uTop = 0;
    unsigned uWidth = 0;
    unsigned uHeight = 0;
    int iBrightness = 0;
    int iContrast = 0;
};

// One page: lines of 1-bit (lineart), 8-bit grey or 8-bit RGB pixels.
struct stOstrelFrame
{
    bool bRgb = false;
    int iDepth = 8;
    int iPixels = 0;
    int iLines = 0;
    int iBytesPerLine = 0;
    OstrelPixels pixels;
};

// Statuses are SANE_Status values.
constexpr int c_iOstrelGood = 0;

// Devices the daemon finds on USB and those named in the configuration file.
std::vector<stOstrelDevice> OstrelListDevices();

// The shape a scan with these settings will have, before it starts.
stOstrelFrame OstrelExpectedFrame(const stOstrelSettings &settings, unsigned uUnitsPerInch);

class OstrelScanner
{
public:
    OstrelScanner();
    ~OstrelScanner();
    OstrelScanner(const OstrelScanner &) = delete;
    OstrelScanner &operator=(const OstrelScanner &) = delete;

    // An empty name opens the first device there is.
    int Open(const std::string &strName, stOstrelCaps *pCaps);
    // The next page: a new job, or the next page of a feeder job that runs.
    int Start(const stOstrelSettings &settings, stOstrelFrame *pFrame);
    // Ends the job: aborted when it still runs, so the daemon drops its pages.
    void Finish();
    // Safe in a signal handler: the call that waits for the daemon notices it.
    void RequestCancel() { m_bCancel = 1; }
    bool CancelRequested() const { return m_bCancel != 0; }
    void ClearCancel() { m_bCancel = 0; }

private:
    struct stImpl;
    std::unique_ptr<stImpl> m_pImpl;
    volatile sig_atomic_t m_bCancel = 0;
};
