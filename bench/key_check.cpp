// The publisher key's cost on a check: in one process, a check with the key
// set against the same check without it, taking turns, on one document that
// carries a signed tail (an unkeyed check does not read it).
//   key_check.exe <program file> <update information address> <key: 128 hex digits> <pairs>
// Prints the median, minimum and maximum milliseconds of each and of the
// ratio pair by pair; exits with 1 when a keyed check is not "available".
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_host.h"

namespace {

double Milliseconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Line(const char* name, std::vector<double> values, const char* unit) {
    std::sort(values.begin(), values.end());
    std::printf("%-38s %9.3f %9.3f %9.3f %s\n", name, values[values.size() / 2], values.front(),
                values.back(), unit);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 2;
    const std::string address = Narrow(argv[2]);
    const std::string hex = Narrow(argv[3]);
    if (hex.size() != 128) return 2;
    uint8_t key[64];
    for (int i = 0; i < 64; ++i) {
        key[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    const int pairs = _wtoi(argv[4]);
    fwstack_settings settings = BenchSettings(address);
    auto check = [&](bool keyed) {
        settings.publisher_key = keyed ? key : nullptr;
        fwstack_result result;
        const double start = Milliseconds();
        fwstack_check(&settings, argv[1], &result);
        const double took = Milliseconds() - start;
        if (result.state != FWSTACK_AVAILABLE) {
            std::fprintf(stderr, "%s check: %s", keyed ? "keyed" : "unkeyed", result.report);
            std::exit(1);
        }
        return took;
    };
    check(true);  // warm-up: DLLs, TLS session
    check(false);
    std::vector<double> keyed, unkeyed, ratio;
    for (int i = 0; i < pairs; ++i) {
        keyed.push_back(check(true));
        unkeyed.push_back(check(false));
        ratio.push_back(keyed.back() / unkeyed.back());
    }
    Line("check with the publisher key", keyed, "ms");
    Line("check without a key", unkeyed, "ms");
    Line("ratio keyed / unkeyed", ratio, "");
    return 0;
}
