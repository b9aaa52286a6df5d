// The installed version, from the running program file's own version resource.
#pragma once

#include "files/paths.h"
#include "info/version.h"

// True and the file version of the program file at program (in the form the
// system takes; major.minor.patch, a release); false and 0.0.0 when it has
// no readable version resource.
bool ReadInstalledVersion(const PathBuffer& program, Version* out);
// The same for the running program's own file.
bool ReadInstalledVersion(Version* out);
