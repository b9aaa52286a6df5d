// Splitting a narrowed command line into arguments by the Windows quoting rules.
#pragma once

#include "base/types.h"

// Reads one argument from position, advances position past it, writes at
// most capacity bytes of it to destination (which may be null) and sets
// argumentLength to its full length. first selects the program-name rule.
// False only when no further argument exists.
bool NextArgument(const char* line, u64 lineLength, u64* position, bool first, char* destination,
                  u64 capacity, u64* argumentLength);
