// The floor of the start-up figure: a program without C runtime that imports
// kernel32 alone and prints one line, built with the program's own flags.
#include <windows.h>

extern "C" void EntryPoint() {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "floor 0.0.0\n", 12, &written, nullptr);
    ExitProcess(0);
}
