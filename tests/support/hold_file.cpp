// Test helper: holds a file as Windows holds the file of a running program
// whose name may not go: others may read it, but not delete it, replace it or
// write to it. Wine lets a running program's own file go, so tests hold it so.
//   hold_file.exe <path>
// Prints "held" once the file is open and keeps it until the process is ended.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: hold_file.exe <path>\n", stderr);
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_file.exe: cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    Sleep(INFINITE);
    CloseHandle(file);
    return 0;
}
