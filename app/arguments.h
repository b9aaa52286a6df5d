// The process's command line, narrowed to bytes, in process-heap blocks.
#pragma once

#include "base/types.h"

// The command line, one byte per UTF-16 unit (0xFF above 127), in a new heap
// block; empty when the allocation fails.
Text NarrowCommandLine();

// Releases a block of NarrowCommandLine or ArgumentAt, keeping the last error.
void ReleaseText(Text text);

// The number of arguments, the program name included (at least 1).
u64 ArgumentCount();

// Argument n (0 is the program name) in a new heap block; empty when there is
// no such argument or no memory.
Text ArgumentAt(u64 n);
