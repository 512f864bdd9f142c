#include "ProgramProfile.h"

const stProgramProfile c_stProgramProfile = {"tool", "log_tool", enKQVariant::Tool};
