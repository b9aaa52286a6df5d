// The installed version, read from the running program's own file.
#include "base/bytes.h"
#include "files/file_system.h"
#include "files/installed_version.h"
#include "files/paths.h"
#include "verify/version_reader.h"

// NOTE: the version-information functions take a path, and Microsoft does not
// document them to take the "\\?\" form that a program path beyond MAX_PATH
// needs. The file is read instead through its open handle by the reader that
// checks every download, which finds the same fixed file information: one
// road for every path length, and version.dll is never loaded.
bool ReadInstalledVersion(const PathBuffer& program, Version* out) {
    *out = VersionFromWords(0, 0);
    OpenedFile file = OpenFile(program, OpenForReading);
    if (file.handle == nullptr) return false;
    bool read = ReadDownloadVersion(file.handle, out);
    CloseFile(file.handle);
    return read;
}

bool ReadInstalledVersion(Version* out) {
    *out = VersionFromWords(0, 0);
    PathBuffer program;
    FillBytes(&program, 0, sizeof(program));
    if (!GetProgramPath(&program)) return false;
    UseSystemForm(&program);
    return ReadInstalledVersion(program, out);
}
