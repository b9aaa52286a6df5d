// The one report line of an update attempt and the messages of the failure reasons.
#pragma once

#include "base/types.h"
#include "engine/settings.h"

struct UpdateRun;

enum ReportKind : u32 {
    UpToDateLine = 0,
    UpdatedLine = 1,
    ManualDownloadLine = 2,
    FailureLine = 3,
    // The lines of the states that a single step call ends in.
    AvailableLine = 4,
    StagedLine = 5,
    InstalledLine = 6,
};

constexpr u64 ReportCapacity = 256;

// The line of a final state; FailureLine for Failed and any unknown state.
ReportKind ReportKindOf(u32 state);

// The message of an ErrorCode; "unknown" for codes without one.
Text MessageFor(u32 code);

// The texts a line is made of, in the order FormatLine takes them.
enum ReportField : u32 {
    InstalledField = 0,
    AnnouncedField = 1,
    PageField = 2,
    MessageField = 3,  // set by FormatLine from the code
    ProgramField = 4,
};

// Builds the line for kind in buffer, cut at capacity; returns its length.
// The lines begin with the program's name (left out with its blank when
// empty); the manual-download line names its downloads page.
u64 FormatLine(ReportKind kind, u32 code, Text fields[5], char* buffer, u64 capacity);
inline u64 FormatReport(const Text& program, const Text& page, ReportKind kind, u32 code,
                        const Text& installed, const Text& announced, char* buffer,
                        u64 capacity) {
    Text fields[5] = {installed, announced, page, Text{nullptr, 0}, program};
    return FormatLine(kind, code, fields, buffer, capacity);
}

// Copies min(n, capacity - position) bytes to buffer + position; returns the
// new position.
u64 AppendClamped(const char* text, u64 n, u64 position, char* buffer, u64 capacity);

// The announced version as the run's document spelled it; empty before a parse.
Text AnnouncedText(const UpdateRun& run);

// The line of a finished run for the program of the settings: its name (none
// when it breaks its rule), its version text, the downloads page (the update
// information address up to its last "/"). Returns 1 for the manual-download
// and failure lines, else 0.
u32 ReportRun(const UpdateSettings& settings, const UpdateRun& run, char* buffer, u64 capacity,
              u64* length);
// The same line from the state, the error and the announced version alone.
u32 ReportOutcome(const UpdateSettings& settings, u32 state, u32 error, Text announced,
                  char* buffer, u64 capacity, u64* length);

// Runs one attempt of all three steps on a record of its own (the running
// program for an empty path) and builds its line; returns ReportRun's value.
// Without memory for the record the attempt fails as a document not delivered.
u32 RunAndReport(const UpdateSettings& settings, Text programPath, char* buffer, u64 capacity,
                 u64* length);
