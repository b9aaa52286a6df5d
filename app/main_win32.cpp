// The entry point: settings, clean-up, command line, dispatch, ExitProcess.
#include "app/arguments.h"
#include "app/commands.h"
#include "base/bytes.h"
#include "engine/deployment.h"
#include "engine/settings.h"
#include "platform/system_win32.h"

extern "C" void EntryPoint() {
    UpdateSettings settings;
    FillBytes(&settings, 0, sizeof settings);
    MakeUpdateSettings(TheDeployment().versionText, &settings);
    Text noPath{nullptr, 0};
    StartupCleanup(settings, noPath);
    u64 count = ArgumentCount();
    Text argument1 = ArgumentAt(1);
    // argument1 is not released: the process ends right after.
    u32 code = DispatchCommand(settings, noPath, count, argument1);
    Sys(ExitProcess)(code);
}
