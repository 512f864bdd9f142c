// What differs between the programs that share common/: each program defines
// c_stProgramProfile once, in a file of its own.
#pragma once

enum class enKQVariant
{
    Service,  // decodes live replies in printsvc
    Tool,     // decodes the status files again in printtool
};

struct stProgramProfile
{
    const char *szLogSubdir;  // below the install root
    const char *szLogPrefix;
    enKQVariant enKQ;
};

extern const stProgramProfile c_stProgramProfile;
