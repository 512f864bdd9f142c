#include "OstrelPage.h"

#include <csetjmp>
#include <cstdio>
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

bool LooksLikeJpeg(const std::vector<uint8_t> &vecPage)
{
    return vecPage.size() > sizeof(c_aucJpegStart) &&
           std::equal(std::begin(c_aucJpegStart), std::end(c_aucJpegStart), vecPage.begin());
}

// Nothing with a destructor lives in this frame: the error path leaves it by longjmp.
bool DecodeJpeg(const std::vector<uint8_t> &vecPage, bool bRgb, stOstrelFrame *pFrame)
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
    pFrame->vecData.resize(size_t(pFrame->iBytesPerLine) * size_t(pFrame->iLines));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pFrame->vecData.data() + size_t(cinfo.output_scanline) * size_t(pFrame->iBytesPerLine);
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return err.iWarnings == 0;
}

int TakeRaw(const std::vector<uint8_t> &vecPage, const SettingInfo &info, unsigned uUnitsPerInch, stOstrelFrame *pFrame)
{
    *pFrame = OstrelRawFrame(info, uUnitsPerInch);
    const long long llSize = (long long)vecPage.size();
    const long long llExpected = (long long)pFrame->iBytesPerLine * pFrame->iLines;
    // A feeder page may run longer than the area asked for, by whole lines.
    if (pFrame->iBytesPerLine <= 0 || llSize < llExpected || llSize % pFrame->iBytesPerLine != 0) {
        OstrelDebug(OSTREL_DBG_ERROR, "raw page of %lld bytes does not fill %d lines of %d bytes", llSize,
                    pFrame->iLines, pFrame->iBytesPerLine);
        return SANE_STATUS_IO_ERROR;
    }
    pFrame->iLines = int(llSize / pFrame->iBytesPerLine);
    pFrame->vecData = vecPage;
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

int OstrelDecodePage(const std::vector<uint8_t> &vecPage, const SettingInfo &info, unsigned uUnitsPerInch,
                     stOstrelFrame *pFrame)
{
    // Scanners of the KQ family send JPEG whatever was asked for.
    const bool bJpeg = LooksLikeJpeg(vecPage) &&
                       (info.compType == COMPRESSION_JPEG ||
                        (long long)vecPage.size() != QuarnRawGeometry(info, uUnitsPerInch).Bytes());
    if (!bJpeg)
        return TakeRaw(vecPage, info, uUnitsPerInch, pFrame);
    const bool bRgb = QuarnPixelsOf(info) == QUARN_PIXELS_RGB;
    return DecodeJpeg(vecPage, bRgb, pFrame) ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
}
