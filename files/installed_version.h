// The installed version, from the running program file's own version resource.
#pragma once

#include "info/version.h"

// True and the file version of the running program (major.minor.patch, a
// release); false and 0.0.0 when it has no readable version resource.
bool ReadInstalledVersion(Version* out);
