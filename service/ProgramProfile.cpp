#include "ProgramProfile.h"

const stProgramProfile c_stProgramProfile = {"log", "log_srv", enKQVariant::Service};
