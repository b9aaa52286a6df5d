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
// The manual-download line names the downloads page of this build.
u64 FormatReport(ReportKind kind, u32 code, Text installed, Text announced, char* buffer,
                 u64 capacity);

// Copies min(n, capacity - position) bytes to buffer + position; returns the
// new position.
u64 AppendClamped(const char* text, u64 n, u64 position, char* buffer, u64 capacity);
