// Replacing entries of the program's system table for one scope of a Windows test.
#pragma once

#include "platform/system_win32.h"

// Puts a replacement in the table until the scope ends, then restores what
// was there before (so overrides nest).
class SystemOverride {
public:
    SystemOverride(u32 function, SystemProc replacement)
        : function_(function), previous_(ReplaceSystemFunction(function, replacement)) {}
    ~SystemOverride() { ReplaceSystemFunction(function_, previous_); }
    SystemOverride(const SystemOverride&) = delete;
    SystemOverride& operator=(const SystemOverride&) = delete;

private:
    u32 function_;
    SystemProc previous_;
};

// OverrideSystem(WriteFile, HalfWrite): the replacement must have the
// function's own type.
#define OverrideSystem(name, replacement) \
    SystemOverride(Sys_##name,            \
                   reinterpret_cast<SystemProc>(static_cast<decltype(&::name)>(replacement)))

// Forgets every DLL and function look-up at the start and the end of a scope,
// so a test's failing loader sees every DLL anew and leaves nothing behind.
struct FreshSystemBindings {
    FreshSystemBindings() { ResetSystemBindings(); }
    ~FreshSystemBindings() { ResetSystemBindings(); }
};
