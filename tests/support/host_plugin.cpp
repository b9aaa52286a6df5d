// A host program's own DLL, loaded from beside it by its plain name.
extern "C" int __stdcall DllMain(void*, unsigned long, void*) { return 1; }

extern "C" __declspec(dllexport) int HostPluginAnswer() { return 42; }
