// Splitting a narrowed command line into arguments by the Windows quoting rules.
#include "app/command_line.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

struct Emitter {
    char* destination;
    u64 capacity;
    u64 produced;

    void Emit(char c) {
        if (produced < capacity) destination[produced] = c;
        produced += 1;
    }
};

}  // namespace

bool NextArgument(const char* line, u64 lineLength, u64* position, bool first, char* destination,
                  u64 capacity, u64* argumentLength) {
    u64 i = *position;
    Emitter out{destination, destination ? capacity : 0, 0};
    *argumentLength = 0;

    if (first) {
        // The program name: quotes toggle, backslashes are ordinary bytes,
        // and a leading blank ends an empty name at once.
        bool inQuotes = false;
        while (i < lineLength && (inQuotes || !IsBlank(line[i]))) {
            if (line[i] == '"') {
                inQuotes = !inQuotes;
            } else {
                out.Emit(line[i]);
            }
            i += 1;
        }
    } else {
        while (i < lineLength && IsBlank(line[i])) i += 1;
        if (i >= lineLength) {
            *position = i;
            return false;
        }
        bool inQuotes = false;
        while (i < lineLength) {
            char c = line[i];
            if (c == '\\') {
                u64 k = 0;
                while (i < lineLength && line[i] == '\\') {
                    k += 1;
                    i += 1;
                }
                bool quoteFollows = i < lineLength && line[i] == '"';
                u64 backslashes = quoteFollows ? k / 2 : k;
                for (u64 n = 0; n < backslashes; ++n) out.Emit('\\');
                if (quoteFollows && k % 2 == 1) {
                    out.Emit('"');
                    i += 1;
                }
            } else if (c == '"') {
                if (inQuotes && i + 1 < lineLength && line[i + 1] == '"') {
                    out.Emit('"');
                    i += 2;
                } else {
                    inQuotes = !inQuotes;
                    i += 1;
                }
            } else if (IsBlank(c) && !inQuotes) {
                break;
            } else {
                out.Emit(c);
                i += 1;
            }
        }
    }
    *position = i;
    *argumentLength = out.produced;
    return true;
}
