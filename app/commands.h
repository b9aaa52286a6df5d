// The two commands, the usage text and the silent clean-up at start.
#pragma once

#include "base/types.h"
#include "engine/settings.h"

// Deletes what an earlier update left next to the program file, silently,
// when the run initialises to Initial.
void StartupCleanup(const UpdateSettings& settings, Text programPath);

// "--version", "update" or the usage text; returns the exit code 0, 1 or 2.
u32 DispatchCommand(const UpdateSettings& settings, Text programPath, u64 argumentCount,
                    Text argument1);

// Runs one attempt and writes its line; returns 0 or 1.
u32 UpdateCommand(const UpdateSettings& settings, Text programPath);

// The announced version as the run's document spelled it; empty before a parse.
struct UpdateRun;
Text AnnouncedText(const UpdateRun& run);

// Runs one attempt on a record of its own and builds its line in buffer;
// returns 1 for the manual-download and failure lines, else 0.
u32 RunAndReport(const UpdateSettings& settings, Text programPath, char* buffer, u64 capacity,
                 u64* length);
