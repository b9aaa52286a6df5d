// The two standard streams of the report and the usage text.
#include "app/console.h"

void WriteOut(const char* bytes, u64 n) { WriteStd(StdOutputHandle, bytes, n); }

void WriteErr(const char* bytes, u64 n) { WriteStd(StdErrorHandle, bytes, n); }
