// The exported names of the system functions, for the reports of tests; the
// program itself looks names up in the table's own string.
#include "platform/system_win32.h"

#include "base/bytes.h"

namespace {

constexpr char kNames[] =
#define FWSTACK_SYSTEM_NAME(dll, name) #name "\0"
    FWSTACK_SYSTEM_FUNCTIONS(FWSTACK_SYSTEM_NAME);
#undef FWSTACK_SYSTEM_NAME

}  // namespace

const char* SystemFunctionName(u32 function) {
    return function < SystemFunctionCount ? PackedString(kNames, function) : "";
}
