/* hello-c: a small console program that keeps itself up to date.
 *
 *   hello-c             greets
 *   hello-c --version   prints the version
 *   hello-c update      updates the program from its update server
 *
 * The program's identity (name, version, publisher, product, update
 * address) comes from fwstack_program.h, which fwstack_update_program() in
 * CMakeLists.txt writes; the version resource is made from the same values.
 * HELLO_OPTIONS comes from the build, and so may HELLO_PUBLISHER_KEY and
 * HELLO_SECOND_PUBLISHER_KEY: the bytes of the publisher's own keys that
 * "fwstack-publish keygen" prints (a program of your own can paste keygen's
 * initialiser instead). Built with
 * HELLO_WITHOUT_UPDATE the program has no update command and does not use
 * the engine at all, which shows what it adds. */
#include <stdio.h>
#include <string.h>

#include "fwstack_program.h"

#ifndef HELLO_WITHOUT_UPDATE
#include <fwstack_update.h>
#endif

#ifndef HELLO_OPTIONS
#define HELLO_OPTIONS 0u
#endif

#ifndef HELLO_WITHOUT_UPDATE
#ifdef HELLO_PUBLISHER_KEY
/* The program then takes only update documents signed with this key (or
 * with the second, trusted while the publisher moves to a new key). */
static const uint8_t publisher_key[64] = {HELLO_PUBLISHER_KEY};
#endif
#ifdef HELLO_SECOND_PUBLISHER_KEY
static const uint8_t second_publisher_key[64] = {HELLO_SECOND_PUBLISHER_KEY};
#endif

static fwstack_settings hello_settings(void) {
    fwstack_settings settings;
    memset(&settings, 0, sizeof settings);
    settings.size = sizeof settings;
    settings.program_name = FWSTACK_PROGRAM_NAME;
    settings.update_info_address = FWSTACK_PROGRAM_UPDATE_ADDRESS;
    settings.publisher = FWSTACK_PROGRAM_PUBLISHER;
    settings.product_name = FWSTACK_PROGRAM_PRODUCT;
    /* The version this build is, as the version resource also says; the
     * report lines name it. */
    settings.version_text = FWSTACK_PROGRAM_VERSION;
    settings.options = HELLO_OPTIONS;
#ifdef HELLO_PUBLISHER_KEY
    settings.publisher_key = publisher_key;
#endif
#ifdef HELLO_SECOND_PUBLISHER_KEY
    settings.second_publisher_key = second_publisher_key;
#endif
    return settings;
}
#endif

int main(int argc, char** argv) {
#ifndef HELLO_WITHOUT_UPDATE
    fwstack_settings settings = hello_settings();
    fwstack_result result;
    /* Early at every start: removes what the last update left behind. */
    fwstack_cleanup(&settings, NULL);
#endif
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", FWSTACK_PROGRAM_NAME, FWSTACK_PROGRAM_VERSION);
        return 0;
    }
#ifndef HELLO_WITHOUT_UPDATE
    if (argc == 2 && strcmp(argv[1], "update") == 0) {
        fwstack_update(&settings, &result);
        fputs(result.report, result.exit_code == 0 ? stdout : stderr);
        return (int)result.exit_code;
    }
#endif
    if (argc == 1) {
        printf("Hello from %s %s\n", FWSTACK_PROGRAM_NAME, FWSTACK_PROGRAM_VERSION);
        return 0;
    }
    fprintf(stderr, "usage: %s [--version%s]\n", FWSTACK_PROGRAM_NAME,
#ifndef HELLO_WITHOUT_UPDATE
            " | update"
#else
            ""
#endif
    );
    return 2;
}
