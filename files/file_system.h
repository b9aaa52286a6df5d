// The file primitives the update engine's file work is built on: open, read, write, rename, remove.
#pragma once

#include "base/types.h"
#include "files/paths.h"

// How a sibling file is opened; each names access, sharing and disposition.
// The two creating modes remove whatever stands at the name first (as
// RemoveFile does) and then create a new file exclusively: what appears at
// the name in between makes the open fail, and nothing is ever overwritten.
enum FileOpenMode : u32 {
    // Read, write and DELETE (for the rename through the handle); others may
    // only read. A new file.
    CreateForDownload = 0,
    // Write only, no sharing. A new file.
    CreateForRecord = 1,
    // Read and DELETE of an existing file; others may only read.
    OpenForSwap = 2,
    // Read of an existing file; others may read, write, rename and delete it.
    OpenForReading = 3,
    // DELETE of an existing file, to move it by its handle; others may read
    // and write it, but neither delete nor rename it while it is held.
    OpenForMoving = 4,
};

// A handle, or null with the system error of the failed open.
struct OpenedFile {
    void* handle;
    u32 error;
};

// Opens path in the given mode. The caller closes the handle with CloseFile.
OpenedFile OpenFile(const PathBuffer& path, u32 mode);

// Closes a handle of OpenFile; a null handle is left alone. Keeps the last error.
void CloseFile(void* file);

// Reads up to n bytes at the absolute offset into buffer. False when the
// position cannot be set or a read fails; *got is the count read, short only
// at the end of the file.
bool ReadFileAt(void* file, u64 offset, void* buffer, u64 n, u64* got);

// Writes all n bytes at the current position; false on a failed or short write.
bool WriteToFile(void* file, const void* bytes, u64 n);

// Makes what was written durable before the file takes another name.
bool FlushFile(void* file);

// Renames the open file (opened with DELETE access), replacing any file of
// the new name. The file keeps its handle, identity and content.
bool RenameOpenFile(void* file, const PathBuffer& newPath);

// Moves the file held open with OpenForMoving to another name in the same
// folder, replacing one of that name; the handle goes on holding it.
bool MoveFileReplacing(void* file, const PathBuffer& to);

// Waits this many milliseconds.
void Pause(u32 milliseconds);

// Removes the directory entry of that name itself, also when it is
// read-only: a link goes as a link, and the file it leads to keeps its
// content and attributes. A folder is left alone. True when nothing stands
// at the name afterwards.
bool RemoveFile(const PathBuffer& path);
