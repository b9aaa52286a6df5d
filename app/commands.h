// The two commands and the usage text, on the engine's public interface.
#pragma once

#include "api/fwstack_update.h"
#include "base/types.h"

// "--version", "update" or the usage text; returns the exit code 0, 1 or 2.
u32 DispatchCommand(const fwstack_settings& settings, u64 argumentCount, Text argument1);

// Runs one update of the running program and writes its line: standard
// output for exit code 0, standard error for 1; returns that code.
u32 UpdateCommand(const fwstack_settings& settings);
