// The file work of the fetch and swap steps: creating, staging, recording, swapping.
#pragma once

#include "base/types.h"
#include "engine/run.h"
#include "engine/settings.h"
#include "files/paths.h"
#include "info/update_info.h"

enum CreateDownloadResult : u32 {
    Created = 0,
    AccessDenied = 1,
    CreateFailed = 2,
};

// Creates the .download sibling, kept open in paths with read sharing only.
u32 CreateDownloadFile(UpdatePaths* paths);

// Flushes the open download to disk and renames it to .new; closes the
// handle whatever happens.
bool StageDownload(UpdatePaths* paths);

// Closes the download handle if open and deletes the download file.
void DiscardDownload(UpdatePaths* paths);

// Writes the document bytes to .latest; deletes a partial record.
bool WriteUpdateRecord(const UpdateRun& run);

// Verifies the staged file again and puts it in place of the program file,
// moving the program to .old and back again if the rename fails.
u32 SwapInStaged(const UpdateSettings& settings, UpdatePaths* paths, const u8 digest[32],
                 const UpdateInfo& info, Version installed);
