// The SANE entry points of the backend "ostrel". libsane's dll loader looks them up as
// sane_ostrel_*; nothing else leaves the shared object.
#include <sane/sane.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "OstrelDebug.h"
#include "OstrelOptions.h"
#include "OstrelScanner.h"

#define OSTREL_EXPORT extern "C" __attribute__((visibility("default")))

namespace
{
constexpr SANE_Int c_iBuild = 1;

struct stHandle
{
    OstrelScanner scanner;
    std::unique_ptr<OstrelOptions> pOptions;
    stOstrelFrame frame;
    bool bScanning = false;
    // Set while sane_start or sane_read runs: a sane_cancel meanwhile comes from a signal
    // handler and only flags the cancel.
    volatile sig_atomic_t bInCall = 0;
};

// The list sane_get_devices hands out stays valid until the next call or sane_exit.
std::vector<stOstrelDevice> s_vecDevices;
std::vector<SANE_Device> s_vecSaneDevices;
std::vector<const SANE_Device *> s_vecDeviceList;
constexpr const char *c_szVendor = "OSTREL";

stHandle *HandleOf(SANE_Handle h)
{
    return static_cast<stHandle *>(h);
}

class InCall
{
public:
    explicit InCall(stHandle &handle) : m_handle(handle) { m_handle.bInCall = 1; }
    ~InCall() { m_handle.bInCall = 0; }
    InCall(const InCall &) = delete;
    InCall &operator=(const InCall &) = delete;

private:
    stHandle &m_handle;
};

void FillParameters(const stOstrelFrame &frame, SANE_Parameters *pParams)
{
    pParams->format = frame.bRgb ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
    pParams->last_frame = SANE_TRUE;
    pParams->bytes_per_line = frame.iBytesPerLine;
    pParams->pixels_per_line = frame.iPixels;
    pParams->lines = frame.iLines;
    pParams->depth = frame.iDepth;
}

void EndScan(stHandle &handle)
{
    handle.scanner.Finish();
    handle.scanner.ClearCancel();
    handle.bScanning = false;
    handle.frame.pixels.Clear();
}
}  // namespace

OSTREL_EXPORT SANE_Status sane_ostrel_init(SANE_Int *piVersion, SANE_Auth_Callback)
{
    if (piVersion)
        *piVersion = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, SANE_CURRENT_MINOR, c_iBuild);
    OstrelDebug(OSTREL_DBG_INFO, "backend version %d.%d.%d", SANE_CURRENT_MAJOR, SANE_CURRENT_MINOR, c_iBuild);
    return SANE_STATUS_GOOD;
}

OSTREL_EXPORT void sane_ostrel_exit()
{
    s_vecDeviceList.clear();
    s_vecSaneDevices.clear();
    s_vecDevices.clear();
}

OSTREL_EXPORT SANE_Status sane_ostrel_get_devices(const SANE_Device ***pppList, SANE_Bool)
{
    s_vecDevices = OstrelListDevices();
    s_vecSaneDevices.clear();
    for (const stOstrelDevice &dev : s_vecDevices)
        s_vecSaneDevices.push_back({dev.strName.c_str(), c_szVendor, dev.strModel.c_str(), dev.strType.c_str()});
    s_vecDeviceList.clear();
    for (const SANE_Device &dev : s_vecSaneDevices)
        s_vecDeviceList.push_back(&dev);
    s_vecDeviceList.push_back(nullptr);
    *pppList = s_vecDeviceList.data();
    return SANE_STATUS_GOOD;
}

OSTREL_EXPORT SANE_Status sane_ostrel_open(SANE_String_Const szName, SANE_Handle *pHandle)
{
    auto pHandleNew = std::unique_ptr<stHandle>(new (std::nothrow) stHandle);
    if (!pHandleNew)
        return SANE_STATUS_NO_MEM;
    stOstrelCaps caps;
    const int iStatus = pHandleNew->scanner.Open(szName ? szName : "", &caps);
    if (iStatus != c_iOstrelGood)
        return SANE_Status(iStatus);
    pHandleNew->pOptions = std::make_unique<OstrelOptions>(caps);
    *pHandle = pHandleNew.release();
    return SANE_STATUS_GOOD;
}

OSTREL_EXPORT void sane_ostrel_close(SANE_Handle h)
{
    delete HandleOf(h);
}

OSTREL_EXPORT const SANE_Option_Descriptor *sane_ostrel_get_option_descriptor(SANE_Handle h, SANE_Int iOption)
{
    return HandleOf(h)->pOptions->Descriptor(iOption);
}

OSTREL_EXPORT SANE_Status sane_ostrel_control_option(SANE_Handle h, SANE_Int iOption, SANE_Action action,
                                                     void *pValue, SANE_Int *piInfo)
{
    stHandle &handle = *HandleOf(h);
    if (handle.bScanning && action != SANE_ACTION_GET_VALUE)
        return SANE_STATUS_DEVICE_BUSY;
    return handle.pOptions->Control(iOption, action, pValue, piInfo);
}

OSTREL_EXPORT SANE_Status sane_ostrel_get_parameters(SANE_Handle h, SANE_Parameters *pParams)
{
    stHandle &handle = *HandleOf(h);
    if (handle.bScanning) {
        FillParameters(handle.frame, pParams);
        return SANE_STATUS_GOOD;
    }
    const OstrelOptions &options = *handle.pOptions;
    FillParameters(OstrelExpectedFrame(options.Settings(), options.UnitsPerInch()), pParams);
    return SANE_STATUS_GOOD;
}

OSTREL_EXPORT SANE_Status sane_ostrel_start(SANE_Handle h)
{
    stHandle &handle = *HandleOf(h);
    InCall call(handle);
    handle.scanner.ClearCancel();
    handle.frame = stOstrelFrame();
    const int iStatus = handle.scanner.Start(handle.pOptions->Settings(), &handle.frame);
    handle.bScanning = iStatus == c_iOstrelGood;
    return SANE_Status(iStatus);
}

OSTREL_EXPORT SANE_Status sane_ostrel_read(SANE_Handle h, SANE_Byte *pData, SANE_Int iMax, SANE_Int *piLength)
{
    stHandle &handle = *HandleOf(h);
    InCall call(handle);
    *piLength = 0;
    if (handle.scanner.CancelRequested()) {
        EndScan(handle);
        return SANE_STATUS_CANCELLED;
    }
    if (!handle.bScanning)
        return SANE_STATUS_INVAL;
    OstrelPixels &pixels = handle.frame.pixels;
    if (pixels.AtEnd())
        return SANE_STATUS_EOF;
    const long lCount = pixels.Read(pData, size_t(std::max(iMax, 0)));
    if (lCount < 0)
        return SANE_STATUS_IO_ERROR;
    *piLength = SANE_Int(lCount);
    return SANE_STATUS_GOOD;
}

OSTREL_EXPORT void sane_ostrel_cancel(SANE_Handle h)
{
    stHandle &handle = *HandleOf(h);
    if (handle.bInCall) {
        handle.scanner.RequestCancel();
        return;
    }
    EndScan(handle);
}

OSTREL_EXPORT SANE_Status sane_ostrel_set_io_mode(SANE_Handle, SANE_Bool bNonBlocking)
{
    return bNonBlocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

OSTREL_EXPORT SANE_Status sane_ostrel_get_select_fd(SANE_Handle, SANE_Int *)
{
    return SANE_STATUS_UNSUPPORTED;
}
