// The file version of a downloaded file, read from its bytes through a handle.
#pragma once

#include "base/types.h"
#include "info/version.h"

// Reads up to n bytes at the absolute offset; returns the count read (0 when
// the file pointer could not be set). A short count is not an error.
u64 ReadAt(void* file, u64 offset, void* buffer, u64 n);

// The file version (a release) from the file's resource section; false and
// 0.0.0 when it cannot be found. The file is never loaded or mapped.
bool ReadDownloadVersion(void* file, Version* out);
