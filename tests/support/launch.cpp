// Test helper: starts a program with an exact command line, which Wine cannot
// do from a Unix command line (it rebuilds the text from its own argv).
//   launch.exe <file holding the command line> [<application path>]
// The file holds the child's command line as UTF-8, taken byte for byte (no
// trailing line feed is removed). When the application path is given it
// becomes lpApplicationName, so the command line may start with anything at
// all (blanks, quotes, another name); otherwise CreateProcessW finds the
// program from the command line itself. The child inherits the standard
// handles; launch.exe waits for it and exits with its exit code. Failures of
// launch.exe itself are reported on standard error with exit code 255.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

static bool ReadWholeFile(const wchar_t* path, std::string& bytes) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    char piece[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, piece, sizeof piece, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        bytes.append(piece, got);
    }
    CloseHandle(file);
    return ok;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 3) {
        fwprintf(stderr, L"usage: launch.exe <command line file> [<application path>]\n");
        return 255;
    }
    std::string utf8;
    if (!ReadWholeFile(argv[1], utf8)) {
        fwprintf(stderr, L"launch: cannot read %ls (error %lu)\n", argv[1], GetLastError());
        return 255;
    }
    // CreateProcessW may write into the command line, so it gets its own
    // terminated buffer.
    std::vector<wchar_t> commandLine(utf8.size() + 1, L'\0');
    if (!utf8.empty() &&
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                            commandLine.data(), static_cast<int>(utf8.size())) == 0) {
        fwprintf(stderr, L"launch: the command line is not UTF-8 (error %lu)\n", GetLastError());
        return 255;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(argc == 3 ? argv[2] : nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                        0, nullptr, nullptr, &startup, &child)) {
        fwprintf(stderr, L"launch: CreateProcessW failed (error %lu)\n", GetLastError());
        return 255;
    }
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    return static_cast<int>(code);
}
