#include "ProgramProfile.h"

// Tests pick the KQ variant explicitly where it matters; the default is the service's.
const stProgramProfile c_stProgramProfile = {"log", "log_test", enKQVariant::Service};
