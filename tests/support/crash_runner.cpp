// Test helper: one update of a named program file through the program's own
// engine, ended at a chosen system call as a crash would end it.
//   crash_runner.exe count   <program> <update information address>
//   crash_runner.exe crash   <program> <address> <k>   (ends with exit code 99 at call k)
//   crash_runner.exe recover <program> <address>       (the next start, then an update)
// Prints the report line; count also prints the number of calls and the
// function of each. The address may be plain http on 127.0.0.1.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/report.h"
#include "engine/run.h"
#include "engine/settings.h"
#include "tests/win/call_plan.h"

namespace {

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

std::string Update(const UpdateSettings& settings, const std::string& program) {
    char line[ReportCapacity] = {};
    u64 length = 0;
    RunAndReport(settings, Text{program.data(), program.size()}, line, sizeof line, &length);
    return std::string(line, length);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: crash_runner count|crash|recover <program> <address> [k]\n");
        return 2;
    }
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in a line feed alone
    std::wstring mode = argv[1];
    std::string program = Narrow(argv[2]);
    std::string address = Narrow(argv[3]);
    UpdateSettings settings{};
    MakeUpdateSettings(TextOf("0.0.2"), &settings);
    settings.options |= AllowLocalHttp;
    settings.updateInfoAddress = Text{address.data(), address.size()};

    if (mode == L"recover") {
        StartupCleanup(settings, Text{program.data(), program.size()});
        std::fputs(Update(settings, program).c_str(), stdout);
        return 0;
    }
    g_plan = CallPlan{};
    g_plan.crash = mode == L"crash";
    g_plan.failAt = g_plan.crash && argc > 4 ? std::wcstoull(argv[4], nullptr, 10) : 0;
    std::string line;
    {
        CountingTable table;
        line = Update(settings, program);
    }
    std::fputs(line.c_str(), stdout);
    if (mode == L"count") {
        std::printf("calls %llu\n", g_plan.count);
        for (u32 function : g_plan.calls) std::printf("%s\n", SystemFunctionName(function));
    }
    return 0;
}
