/* The public header alone, compiled warning-free as C99 and as C++. */
#include <string.h>

#include "fwstack_update.h"

int main(void) {
    fwstack_settings settings;
    fwstack_result result;
    memset(&settings, 0, sizeof settings);
    settings.program_name = "tool";
    settings.options = FWSTACK_ALLOW_LOCAL_HTTP | FWSTACK_NO_REVOCATION_CHECK;
    fwstack_cleanup(&settings, NULL);
    return (int)fwstack_update(&settings, &result) + (int)sizeof result.report;
}
