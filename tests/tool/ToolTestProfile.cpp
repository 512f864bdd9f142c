#include "ProgramProfile.h"

// The tool's tests decode as the tool does; their log, when on, stays apart from the tool's.
const stProgramProfile c_stProgramProfile = {"tool", "log_tool_test", enKQVariant::Tool};
