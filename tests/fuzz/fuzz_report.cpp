// libFuzzer target: the report line for any kind, code, version texts and buffer capacity.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "engine/report.h"
#include "engine/deployment.h"

namespace {

void Check(bool holds) {
    if (!holds) __builtin_trap();
}

constexpr char kGuard = '\x5A';
constexpr char kPrefix[] = "fwstack ";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // Header: kind, code, capacity, split of the rest into installed and announced texts.
    const ReportKind kind = static_cast<ReportKind>(data[0] % (InstalledLine + 1));
    const u32 code = data[1];
    const u64 capacity = data[2] % 2 == 0 ? ReportCapacity : data[2] % 64;
    const u64 rest = size - 4;
    const u64 split = rest == 0 ? 0 : data[3] % (rest + 1);
    const std::vector<char> installed(data + 4, data + 4 + split);
    const std::vector<char> announced(data + 4 + split, data + size);
    const Text installedText = {installed.data(), installed.size()};
    const Text announcedText = {announced.data(), announced.size()};

    std::vector<char> buffer(capacity + 1, kGuard);
    const Text program = TextOf("fwstack");
    const Text page = TheDeployment().downloadsPage;
    const u64 length = FormatReport(program, page, kind, code, installedText, announcedText, buffer.data(), capacity);
    Check(length <= capacity && buffer[capacity] == kGuard);
    const u64 prefix = capacity < 8 ? capacity : 8;
    Check(length >= prefix && memcmp(buffer.data(), kPrefix, prefix) == 0);

    // The line in ample room: the cut line is its prefix, it ends in one line
    // feed, and the failure line carries the code's message.
    std::vector<char> whole(8192, kGuard);
    const u64 wholeLength =
        FormatReport(program, page, kind, code, installedText, announcedText, whole.data(),
                     whole.size());
    Check(wholeLength < whole.size() && whole[wholeLength - 1] == '\n');
    Check(length == (wholeLength < capacity ? wholeLength : capacity));
    Check(memcmp(buffer.data(), whole.data(), length) == 0);
    if (kind == FailureLine) {
        const Text message = MessageFor(code);
        Check(message.length > 0 && wholeLength == 8 + 15 + message.length + 1);
        Check(memcmp(whole.data() + 23, message.bytes, message.length) == 0);
    }
    return 0;
}
