// libFuzzer target: the command-line splitter on any narrowed line and any destination size.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "app/command_line.h"

namespace {

void Check(bool holds) {
    if (!holds) __builtin_trap();
}

constexpr char kGuard = '\x5A';

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte is the destination's capacity; the rest is the line, as an exact-size copy.
    const u64 capacity = data[0] % 40;
    const std::vector<char> line(data + 1, data + size);
    const u64 n = line.size();

    u64 position = 0;
    bool first = true;
    for (u64 calls = 0;; ++calls) {
        Check(calls <= n + 1);  // every argument after the first consumes a byte
        // The destination has exactly capacity bytes plus guards on either side.
        std::vector<char> room(capacity + 2, kGuard);
        const u64 before = position;
        u64 length = 99;
        const bool more =
            NextArgument(line.data(), n, &position, first, room.data() + 1, capacity, &length);
        Check(position >= before && position <= n);
        Check(room[0] == kGuard && room[capacity + 1] == kGuard);
        if (!more) {
            Check(!first && length == 0 && position == n);
            break;
        }
        // An argument never yields more bytes than it read, and only the
        // program name may be empty without reading anything.
        Check(length <= position - before);
        Check(first || position > before);

        // The same call with no destination and with ample room agrees.
        u64 again = before;
        u64 lengthWithout = 99;
        Check(NextArgument(line.data(), n, &again, first, nullptr, capacity, &lengthWithout));
        Check(again == position && lengthWithout == length);
        std::vector<char> full(length + 1, kGuard);
        again = before;
        u64 lengthFull = 99;
        Check(NextArgument(line.data(), n, &again, first, full.data(), length, &lengthFull));
        Check(again == position && lengthFull == length && full[length] == kGuard);
        const u64 kept = length < capacity ? length : capacity;
        Check(memcmp(room.data() + 1, full.data(), kept) == 0);
        for (u64 i = kept; i < capacity; ++i) Check(room[i + 1] == kGuard);
        first = false;
    }
    return 0;
}
