#include "OstrelPage.h"

#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <utility>
// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>

#include "OstrelDebug.h"
#include "quarn_page.h"

namespace
{
constexpr uint8_t c_aucJpegStart[] = {0xFF, 0xD8, 0xFF};

struct stJpegError
{
    jpeg_error_mgr mgr;
    jmp_buf jump;
    int iWarnings;
};

void OnJpegError(j_common_ptr pInfo)
{
    char szText[JMSG_LENGTH_MAX];
    pInfo->err->format_message(pInfo, szText);
    OstrelDebug(OSTREL_DBG_ERROR, "Unable to decode the JPEG page: %s", szText);
    longjmp(reinterpret_cast<stJpegError *>(pInfo->err)->jump, 1);
}

// A damaged or truncated page only draws warnings from libjpeg, which would then fill
// in grey: each one counts against the page.
void OnJpegMessage(j_common_ptr pInfo, int iLevel)
{
    if (iLevel >= 0)
        return;
    char szText[JMSG_LENGTH_MAX];
    pInfo->err->format_message(pInfo, szText);
    OstrelDebug(OSTREL_DBG_ERROR, "JPEG page damaged: %s", szText);
    ++reinterpret_cast<stJpegError *>(pInfo->err)->iWarnings;
}

bool LooksLikeJpeg(const uint8_t *pucStart, long long llBytes)
{
    return llBytes > (long long)sizeof(c_aucJpegStart) &&
           std::equal(std::begin(c_aucJpegStart), std::end(c_aucJpegStart), pucStart);
}

// Nothing with a destructor lives in this frame: the error path leaves it by longjmp.
bool DecodeJpeg(const std::vector<uint8_t> &vecPage, bool bRgb, stOstrelFrame *pFrame, std::vector<uint8_t> *pPixels)
{
    jpeg_decompress_struct cinfo;
    stJpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    err.mgr.emit_message = OnJpegMessage;
    err.iWarnings = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, vecPage.data(), (unsigned long)vecPage.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = bRgb ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_start_decompress(&cinfo);
    pFrame->bRgb = bRgb;
    pFrame->iDepth = 8;
    pFrame->iPixels = int(cinfo.output_width);
    pFrame->iLines = int(cinfo.output_height);
    pFrame->iBytesPerLine = int(cinfo.output_width * cinfo.output_components);
    pPixels->resize(size_t(pFrame->iBytesPerLine) * size_t(pFrame->iLines));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pPixels->data() + size_t(cinfo.output_scanline) * size_t(pFrame->iBytesPerLine);
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return err.iWarnings == 0;
}

bool ReadWhole(OstrelPixels &file, long long llBytes, std::vector<uint8_t> *pBytes)
{
    pBytes->resize(size_t(llBytes));
    size_t nHave = 0;
    while (nHave < pBytes->size()) {
        const long lGot = file.Read(pBytes->data() + nHave, pBytes->size() - nHave);
        if (lGot <= 0)
            return false;
        nHave += size_t(lGot);
    }
    return true;
}

int TakeJpeg(OstrelPixels file, long long llBytes, const SettingInfo &info, stOstrelFrame *pFrame)
{
    std::vector<uint8_t> vecPage;
    if (!ReadWhole(file, llBytes, &vecPage))
        return SANE_STATUS_IO_ERROR;
    file.Clear();
    std::vector<uint8_t> vecPixels;
    if (!DecodeJpeg(vecPage, QuarnPixelsOf(info) == QUARN_PIXELS_RGB, pFrame, &vecPixels))
        return SANE_STATUS_IO_ERROR;
    pFrame->pixels.SetMemory(std::move(vecPixels));
    return SANE_STATUS_GOOD;
}

int TakeRaw(OstrelPixels file, long long llBytes, const SettingInfo &info, unsigned uUnitsPerInch, stOstrelFrame *pFrame)
{
    *pFrame = OstrelRawFrame(info, uUnitsPerInch);
    const long long llExpected = (long long)pFrame->iBytesPerLine * pFrame->iLines;
    // A feeder page may run longer than the area asked for, by whole lines.
    if (pFrame->iBytesPerLine <= 0 || llBytes < llExpected || llBytes % pFrame->iBytesPerLine != 0) {
        OstrelDebug(OSTREL_DBG_ERROR, "raw page of %lld bytes does not fill %d lines of %d bytes", llBytes,
                    pFrame->iLines, pFrame->iBytesPerLine);
        return SANE_STATUS_IO_ERROR;
    }
    pFrame->iLines = int(llBytes / pFrame->iBytesPerLine);
    pFrame->pixels = std::move(file);
    return SANE_STATUS_GOOD;
}
}  // namespace

stOstrelFrame OstrelRawFrame(const SettingInfo &info, unsigned uUnitsPerInch)
{
    const stQuarnRawGeometry geo = QuarnRawGeometry(info, uUnitsPerInch);
    stOstrelFrame frame;
    frame.bRgb = geo.enPixels == QUARN_PIXELS_RGB;
    frame.iDepth = geo.enPixels == QUARN_PIXELS_LINEART ? 1 : 8;
    frame.iPixels = geo.iPixels;
    frame.iLines = geo.iLines;
    frame.iBytesPerLine = geo.iBytesPerLine;
    return frame;
}

int OstrelTakePage(int iFd, long long llBytes, const SettingInfo &info, unsigned uUnitsPerInch,
                   stOstrelFrame *pFrame)
{
    OstrelPixels file;
    file.SetFile(iFd, llBytes);
    uint8_t aucStart[sizeof(c_aucJpegStart)] = {};
    const bool bStart = pread(iFd, aucStart, sizeof(aucStart), 0) == ssize_t(sizeof(aucStart));
    // Scanners of the KQ family send JPEG whatever was asked for.
    const bool bJpeg = bStart && LooksLikeJpeg(aucStart, llBytes) &&
                       (info.compType == COMPRESSION_JPEG || llBytes != QuarnRawGeometry(info, uUnitsPerInch).Bytes());
    if (bJpeg)
        return TakeJpeg(std::move(file), llBytes, info, pFrame);
    return TakeRaw(std::move(file), llBytes, info, uUnitsPerInch, pFrame);
}
