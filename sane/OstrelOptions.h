// The options a frontend sets: the well-known SANE names, constrained to what the
// device can do.
#pragma once

#include <sane/sane.h>

#include <string>
#include <vector>

#include "OstrelScanner.h"

enum enOstrelOption
{
    OPT_NUM_OPTS,
    OPT_MODE_GROUP,
    OPT_MODE,
    OPT_RESOLUTION,
    OPT_SOURCE,
    OPT_COMPRESSION,
    OPT_GEOMETRY_GROUP,
    OPT_TL_X,
    OPT_TL_Y,
    OPT_BR_X,
    OPT_BR_Y,
    OPT_ENHANCEMENT_GROUP,
    OPT_BRIGHTNESS,
    OPT_CONTRAST,
    OPT_COUNT,
};

class OstrelOptions
{
public:
    explicit OstrelOptions(const stOstrelCaps &caps);
    OstrelOptions(const OstrelOptions &) = delete;
    OstrelOptions &operator=(const OstrelOptions &) = delete;

    const SANE_Option_Descriptor *Descriptor(SANE_Int iOption) const;
    SANE_Status Control(SANE_Int iOption, SANE_Action action, void *pValue, SANE_Int *piInfo);
    stOstrelSettings Settings() const;
    unsigned UnitsPerInch() const { return m_caps.uUnitsPerInch; }

private:
    void Describe();
    void ConstrainResolutions();
    SANE_Status Get(SANE_Int iOption, void *pValue) const;
    SANE_Status Set(SANE_Int iOption, void *pValue, SANE_Int *piInfo);
    SANE_Status SetString(SANE_Int iOption, const char *szValue, SANE_Int *piInfo);
    SANE_Word Constrained(SANE_Int iOption, SANE_Word w) const;
    unsigned Units(SANE_Fixed mm) const;

    stOstrelCaps m_caps;
    SANE_Option_Descriptor m_aDesc[OPT_COUNT] {};
    SANE_Word m_aValue[OPT_COUNT] {};
    std::string m_strMode;
    std::string m_strSource;
    std::string m_strCompression;
    std::vector<SANE_String_Const> m_vecModes;
    std::vector<SANE_String_Const> m_vecSources;
    std::vector<SANE_Word> m_vecResolutions;  // a word list: its length first
    SANE_Range m_rangeResolution {};
    SANE_Range m_rangeX {};
    SANE_Range m_rangeY {};
    SANE_Range m_rangeByte {};
};
