// Finding the file version in a PE file's bytes, without loading the file.
#pragma once

#include "base/types.h"

constexpr u64 PeHeadBytes = 4096;           // headers are read from this much
constexpr u64 MaxResourceSection = 1048576; // 1 MiB

// Finds the ".rsrc" section header in the first count bytes of a file.
bool LocateResourceSection(const u8* head, u64 count, u32* sizeOfRawData, u32* pointerToRawData);

// Scans section bytes at multiples of 4 for a VS_FIXEDFILEINFO (signature
// 0xFEEF04BD, structure version 0x00010000); the first match wins.
bool ScanFixedFileInfo(const u8* section, u64 count, u32* fileVersionMs, u32* fileVersionLs);
