#include "OstrelOptions.h"

#include <sane/saneopts.h>

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr double c_dMmPerInch = 25.4;
constexpr int c_iDefaultDpi = 300;
constexpr SANE_Int c_iByteMax = 255;
constexpr const char *c_szCompressionNone = "None";
constexpr const char *c_szCompressionJpeg = "JPEG";
constexpr const char *c_szNameCompression = "compression";
constexpr const char *c_szSourceFlatbed = "Flatbed";
constexpr const char *c_szSourceAdf = "ADF";
constexpr const char *c_szSourceAdfDuplex = "ADF Duplex";
constexpr SANE_Int c_iSelectable = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

const SANE_String_Const c_aszCompressions[] = {c_szCompressionNone, c_szCompressionJpeg, nullptr};

SANE_String_Const SourceName(enOstrelSource enSource)
{
    static const SANE_String_Const c_aszNames[] = {c_szSourceFlatbed, c_szSourceAdf, c_szSourceAdfDuplex};
    return c_aszNames[enSource];
}

SANE_Int StringSize(const SANE_String_Const *pList)
{
    size_t nMax = 0;
    for (; *pList; ++pList)
        nMax = std::max(nMax, std::strlen(*pList));
    return SANE_Int(nMax + 1);
}

void DescribeGroup(SANE_Option_Descriptor &desc, SANE_String_Const szTitle)
{
    desc.name = "";
    desc.title = szTitle;
    desc.desc = "";
    desc.type = SANE_TYPE_GROUP;
}

void DescribeValue(SANE_Option_Descriptor &desc, SANE_String_Const szName, SANE_String_Const szTitle,
                   SANE_String_Const szDesc, SANE_Value_Type type, SANE_Unit unit)
{
    desc.name = szName;
    desc.title = szTitle;
    desc.desc = szDesc;
    desc.type = type;
    desc.unit = unit;
    desc.size = sizeof(SANE_Word);
    desc.cap = c_iSelectable;
}

void ConstrainRange(SANE_Option_Descriptor &desc, const SANE_Range *pRange)
{
    desc.constraint_type = SANE_CONSTRAINT_RANGE;
    desc.constraint.range = pRange;
}

void ConstrainStrings(SANE_Option_Descriptor &desc, const SANE_String_Const *pList)
{
    desc.size = StringSize(pList);
    desc.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    desc.constraint.string_list = pList;
}

SANE_Fixed MmOf(unsigned uUnits, unsigned uUnitsPerInch)
{
    return SANE_FIX(double(uUnits) * c_dMmPerInch / uUnitsPerInch);
}

SANE_Word Nearest(const SANE_Word *pList, SANE_Word w)
{
    SANE_Word best = pList[1];
    for (SANE_Int i = 1; i <= pList[0]; ++i) {
        if (std::abs(pList[i] - w) < std::abs(best - w))
            best = pList[i];
    }
    return best;
}

SANE_Word InRange(const SANE_Range &range, SANE_Word w)
{
    w = std::clamp(w, range.min, range.max);
    if (range.quant > 0)
        w = range.min + (w - range.min + range.quant / 2) / range.quant * range.quant;
    return std::min(w, range.max);
}

// The list's own spelling of a value, letter case ignored, or null.
SANE_String_Const Listed(const SANE_String_Const *pList, const char *szValue)
{
    for (; *pList; ++pList) {
        if (strcasecmp(*pList, szValue) == 0)
            return *pList;
    }
    return nullptr;
}
}  // namespace

OstrelOptions::OstrelOptions(const stOstrelCaps &caps) : m_caps(caps)
{
    m_vecModes = {SANE_VALUE_SCAN_MODE_LINEART, SANE_VALUE_SCAN_MODE_GRAY};
    if (caps.bColor)
        m_vecModes.push_back(SANE_VALUE_SCAN_MODE_COLOR);
    m_vecModes.push_back(nullptr);
    for (enOstrelSource enSource : caps.vecSources)
        m_vecSources.push_back(SourceName(enSource));
    m_vecSources.push_back(nullptr);
    m_rangeX = {0, MmOf(caps.uMaxWidth, caps.uUnitsPerInch), 0};
    m_rangeY = {0, MmOf(caps.uMaxHeight, caps.uUnitsPerInch), 0};
    m_rangeByte = {0, c_iByteMax, 1};
    m_strMode = m_vecModes[m_vecModes.size() - 2];
    m_strSource = m_vecSources[0];
    m_strCompression = c_szCompressionNone;
    Describe();
    ConstrainResolutions();
    m_aValue[OPT_NUM_OPTS] = OPT_COUNT;
    m_aValue[OPT_RESOLUTION] = Constrained(OPT_RESOLUTION, c_iDefaultDpi);
    m_aValue[OPT_BR_X] = m_rangeX.max;
    m_aValue[OPT_BR_Y] = m_rangeY.max;
}

void OstrelOptions::Describe()
{
    SANE_Option_Descriptor *d = m_aDesc;
    DescribeValue(d[OPT_NUM_OPTS], SANE_NAME_NUM_OPTIONS, SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS, SANE_TYPE_INT,
                  SANE_UNIT_NONE);
    d[OPT_NUM_OPTS].cap = SANE_CAP_SOFT_DETECT;
    DescribeGroup(d[OPT_MODE_GROUP], SANE_TITLE_SCAN_MODE);
    DescribeValue(d[OPT_MODE], SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, SANE_DESC_SCAN_MODE, SANE_TYPE_STRING,
                  SANE_UNIT_NONE);
    ConstrainStrings(d[OPT_MODE], m_vecModes.data());
    DescribeValue(d[OPT_RESOLUTION], SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION, SANE_DESC_SCAN_RESOLUTION,
                  SANE_TYPE_INT, SANE_UNIT_DPI);
    DescribeValue(d[OPT_SOURCE], SANE_NAME_SCAN_SOURCE, SANE_TITLE_SCAN_SOURCE, SANE_DESC_SCAN_SOURCE, SANE_TYPE_STRING,
                  SANE_UNIT_NONE);
    ConstrainStrings(d[OPT_SOURCE], m_vecSources.data());
    DescribeValue(d[OPT_COMPRESSION], c_szNameCompression, "Compression",
                  "How the scanner sends the pages: uncompressed, or as JPEG (faster, slightly lossy). "
                  "Lineart is always uncompressed.",
                  SANE_TYPE_STRING, SANE_UNIT_NONE);
    d[OPT_COMPRESSION].cap |= SANE_CAP_ADVANCED;
    ConstrainStrings(d[OPT_COMPRESSION], c_aszCompressions);
    DescribeGroup(d[OPT_GEOMETRY_GROUP], SANE_TITLE_GEOMETRY);
    DescribeValue(d[OPT_TL_X], SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, SANE_TYPE_FIXED,
                  SANE_UNIT_MM);
    DescribeValue(d[OPT_TL_Y], SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, SANE_TYPE_FIXED,
                  SANE_UNIT_MM);
    DescribeValue(d[OPT_BR_X], SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, SANE_TYPE_FIXED,
                  SANE_UNIT_MM);
    DescribeValue(d[OPT_BR_Y], SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, SANE_TYPE_FIXED,
                  SANE_UNIT_MM);
    for (int i : {OPT_TL_X, OPT_BR_X})
        ConstrainRange(d[i], &m_rangeX);
    for (int i : {OPT_TL_Y, OPT_BR_Y})
        ConstrainRange(d[i], &m_rangeY);
    DescribeGroup(d[OPT_ENHANCEMENT_GROUP], SANE_TITLE_ENHANCEMENT);
    DescribeValue(d[OPT_BRIGHTNESS], SANE_NAME_BRIGHTNESS, SANE_TITLE_BRIGHTNESS, SANE_DESC_BRIGHTNESS, SANE_TYPE_INT,
                  SANE_UNIT_NONE);
    DescribeValue(d[OPT_CONTRAST], SANE_NAME_CONTRAST, SANE_TITLE_CONTRAST, SANE_DESC_CONTRAST, SANE_TYPE_INT,
                  SANE_UNIT_NONE);
    for (int i : {OPT_BRIGHTNESS, OPT_CONTRAST})
        ConstrainRange(d[i], &m_rangeByte);
}

// Some devices scan from the feeder at a lower top resolution than on the flatbed.
void OstrelOptions::ConstrainResolutions()
{
    SANE_Option_Descriptor &desc = m_aDesc[OPT_RESOLUTION];
    if (m_caps.bRange) {
        m_rangeResolution = {m_caps.vecResolutions.front(), m_caps.vecResolutions.back(), 1};
        ConstrainRange(desc, &m_rangeResolution);
        return;
    }
    const bool bFeeder = m_strSource != c_szSourceFlatbed;
    m_vecResolutions = {0};
    for (int iDpi : m_caps.vecResolutions) {
        if (!bFeeder || m_caps.iFeederMaxDpi == 0 || iDpi <= m_caps.iFeederMaxDpi)
            m_vecResolutions.push_back(iDpi);
    }
    m_vecResolutions[0] = SANE_Word(m_vecResolutions.size() - 1);
    desc.constraint_type = SANE_CONSTRAINT_WORD_LIST;
    desc.constraint.word_list = m_vecResolutions.data();
}

const SANE_Option_Descriptor *OstrelOptions::Descriptor(SANE_Int iOption) const
{
    return iOption >= 0 && iOption < OPT_COUNT ? &m_aDesc[iOption] : nullptr;
}

SANE_Word OstrelOptions::Constrained(SANE_Int iOption, SANE_Word w) const
{
    const SANE_Option_Descriptor &desc = m_aDesc[iOption];
    if (desc.constraint_type == SANE_CONSTRAINT_WORD_LIST)
        return Nearest(desc.constraint.word_list, w);
    return desc.constraint_type == SANE_CONSTRAINT_RANGE ? InRange(*desc.constraint.range, w) : w;
}

SANE_Status OstrelOptions::Control(SANE_Int iOption, SANE_Action action, void *pValue, SANE_Int *piInfo)
{
    if (piInfo)
        *piInfo = 0;
    if (iOption < 0 || iOption >= OPT_COUNT || m_aDesc[iOption].type == SANE_TYPE_GROUP || !pValue)
        return SANE_STATUS_INVAL;
    if (action == SANE_ACTION_GET_VALUE)
        return Get(iOption, pValue);
    const SANE_Int iCap = m_aDesc[iOption].cap;
    if (action != SANE_ACTION_SET_VALUE || !SANE_OPTION_IS_SETTABLE(iCap) || !SANE_OPTION_IS_ACTIVE(iCap))
        return SANE_STATUS_INVAL;
    SANE_Int iInfo = 0;
    const SANE_Status status = Set(iOption, pValue, &iInfo);
    if (piInfo)
        *piInfo = iInfo;
    return status;
}

SANE_Status OstrelOptions::Get(SANE_Int iOption, void *pValue) const
{
    const std::string *pText = iOption == OPT_MODE     ? &m_strMode
                               : iOption == OPT_SOURCE ? &m_strSource
                               : iOption == OPT_COMPRESSION ? &m_strCompression
                                                            : nullptr;
    if (pText)
        std::strcpy(static_cast<char *>(pValue), pText->c_str());
    else
        *static_cast<SANE_Word *>(pValue) = m_aValue[iOption];
    return SANE_STATUS_GOOD;
}

SANE_Status OstrelOptions::Set(SANE_Int iOption, void *pValue, SANE_Int *piInfo)
{
    if (m_aDesc[iOption].type == SANE_TYPE_STRING)
        return SetString(iOption, static_cast<const char *>(pValue), piInfo);
    const SANE_Word w = *static_cast<SANE_Word *>(pValue);
    const SANE_Word wSet = Constrained(iOption, w);
    if (wSet != w) {
        *static_cast<SANE_Word *>(pValue) = wSet;
        *piInfo |= SANE_INFO_INEXACT;
    }
    if (iOption != OPT_BRIGHTNESS && iOption != OPT_CONTRAST && wSet != m_aValue[iOption])
        *piInfo |= SANE_INFO_RELOAD_PARAMS;
    m_aValue[iOption] = wSet;
    return SANE_STATUS_GOOD;
}

SANE_Status OstrelOptions::SetString(SANE_Int iOption, const char *szValue, SANE_Int *piInfo)
{
    const SANE_String_Const szListed = Listed(m_aDesc[iOption].constraint.string_list, szValue);
    if (!szListed)
        return SANE_STATUS_INVAL;
    if (iOption == OPT_COMPRESSION) {
        m_strCompression = szListed;
        return SANE_STATUS_GOOD;
    }
    std::string &strValue = iOption == OPT_MODE ? m_strMode : m_strSource;
    if (strValue == szListed)
        return SANE_STATUS_GOOD;
    strValue = szListed;
    *piInfo |= SANE_INFO_RELOAD_PARAMS;
    if (iOption == OPT_MODE) {
        // Lineart pages always come uncompressed.
        if (m_strMode == SANE_VALUE_SCAN_MODE_LINEART)
            m_aDesc[OPT_COMPRESSION].cap |= SANE_CAP_INACTIVE;
        else
            m_aDesc[OPT_COMPRESSION].cap &= ~SANE_CAP_INACTIVE;
        *piInfo |= SANE_INFO_RELOAD_OPTIONS;
        return SANE_STATUS_GOOD;
    }
    if (!m_caps.bRange && m_caps.iFeederMaxDpi) {
        ConstrainResolutions();
        m_aValue[OPT_RESOLUTION] = Constrained(OPT_RESOLUTION, m_aValue[OPT_RESOLUTION]);
        *piInfo |= SANE_INFO_RELOAD_OPTIONS;
    }
    return SANE_STATUS_GOOD;
}

unsigned OstrelOptions::Units(SANE_Fixed mm) const
{
    return unsigned(std::lround(SANE_UNFIX(mm) * m_caps.uUnitsPerInch / c_dMmPerInch));
}

stOstrelSettings OstrelOptions::Settings() const
{
    stOstrelSettings settings;
    settings.enMode = m_strMode == SANE_VALUE_SCAN_MODE_LINEART ? OSTREL_MODE_LINEART
                      : m_strMode == SANE_VALUE_SCAN_MODE_GRAY  ? OSTREL_MODE_GRAY
                                                                 : OSTREL_MODE_COLOR;
    settings.iDpi = m_aValue[OPT_RESOLUTION];
    settings.enSource = m_strSource == c_szSourceAdf         ? OSTREL_SOURCE_ADF
                        : m_strSource == c_szSourceAdfDuplex ? OSTREL_SOURCE_ADF_DUPLEX
                                                             : OSTREL_SOURCE_FLATBED;
    settings.bJpeg = m_strCompression == c_szCompressionJpeg;
    const unsigned auX[] = {Units(m_aValue[OPT_TL_X]), Units(m_aValue[OPT_BR_X])};
    const unsigned auY[] = {Units(m_aValue[OPT_TL_Y]), Units(m_aValue[OPT_BR_Y])};
    settings.uLeft = std::min(auX[0], auX[1]);
    settings.uTop = std::min(auY[0], auY[1]);
    settings.uWidth = std::max(auX[0], auX[1]) - settings.uLeft;
    settings.uHeight = std::max(auY[0], auY[1]) - settings.uTop;
    settings.iBrightness = m_aValue[OPT_BRIGHTNESS];
    settings.iContrast = m_aValue[OPT_CONTRAST];
    return settings;
}
