// The one report line of an update attempt and the messages of the failure reasons.
#pragma once

#include "base/types.h"

enum ReportKind : u32 {
    UpToDateLine = 0,
    UpdatedLine = 1,
    ManualDownloadLine = 2,
    FailureLine = 3,
};

constexpr u64 ReportCapacity = 256;

ReportKind ReportKindOf(u32 state);

// The message of an ErrorCode; "unknown" for codes without one.
Text MessageFor(u32 code);

// Builds the line for kind in buffer, cut at capacity; returns its length.
// The lines begin with the program's name; the manual-download line names
// its downloads page.
u64 FormatReport(const Text& program, const Text& page, ReportKind kind, u32 code,
                 const Text& installed, const Text& announced, char* buffer, u64 capacity);

// Copies min(n, capacity - position) bytes to buffer + position; returns the
// new position.
u64 AppendClamped(const char* text, u64 n, u64 position, char* buffer, u64 capacity);
