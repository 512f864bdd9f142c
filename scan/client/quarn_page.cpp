#include "quarn_page.h"

namespace
{
constexpr int c_iBitsPerByte = 8;
constexpr int c_iRgbBytes = 3;

int DotsAt(uint32_t uiUnits, unsigned uDpi, unsigned uUnitsPerInch)
{
    return uUnitsPerInch ? int((unsigned long long)uiUnits * uDpi / uUnitsPerInch) : 0;
}
}  // namespace

enQuarnPixels QuarnPixelsOf(const SettingInfo &info)
{
    if (info.bitDepth == 1)
        return QUARN_PIXELS_LINEART;
    return info.bitDepth == 8 ? QUARN_PIXELS_GRAY : QUARN_PIXELS_RGB;
}

stQuarnRawGeometry QuarnRawGeometry(const SettingInfo &info, unsigned uUnitsPerInch)
{
    stQuarnRawGeometry geo;
    geo.enPixels = QuarnPixelsOf(info);
    geo.iPixels = DotsAt(info.width, info.xResolution, uUnitsPerInch);
    geo.iLines = DotsAt(info.height, info.yResolution, uUnitsPerInch);
    if (geo.enPixels == QUARN_PIXELS_LINEART)
        geo.iBytesPerLine = (geo.iPixels + c_iBitsPerByte - 1) / c_iBitsPerByte;
    else
        geo.iBytesPerLine = geo.iPixels * (geo.enPixels == QUARN_PIXELS_RGB ? c_iRgbBytes : 1);
    return geo;
}
