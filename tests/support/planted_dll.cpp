// A DLL planted beside a program under a system DLL's name: loading it ends
// the process at once with the exit code 77, so a test sees that it ran.
extern "C" __declspec(dllimport) void __stdcall ExitProcess(unsigned code);

extern "C" int __stdcall DllMain(void*, unsigned long reason, void*) {
    if (reason == 1) ExitProcess(77);  // DLL_PROCESS_ATTACH
    return 1;
}

// The function a program that imports the real DLL statically asks for.
extern "C" __declspec(dllexport) int PLANTED_EXPORT() { return 0; }
