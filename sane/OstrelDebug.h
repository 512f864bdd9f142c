// Debug output as SANE backends give it: SANE_DEBUG_OSTREL=N in the environment shows
// every message of level N and below on stderr. Level 1: failures; 3: the steps of a
// scan; 5: every record.
#pragma once

enum enOstrelDebug
{
    OSTREL_DBG_ERROR = 1,
    OSTREL_DBG_INFO = 3,
    OSTREL_DBG_TRACE = 5,
};

void OstrelDebug(int iLevel, const char *szFormat, ...) __attribute__((format(printf, 2, 3)));
