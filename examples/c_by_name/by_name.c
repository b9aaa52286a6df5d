/* hello-c_by_name: a C console program that keeps itself up to date through
 * fwstack_update.dll, bound by name at run time: no import library, no
 * engine linked in. The same steps are what a C#, Python or Go host does.
 *
 *   hello-c_by_name             greets
 *   hello-c_by_name --version   prints the version
 *   hello-c_by_name update      updates the program from its update server
 *
 * The DLL is loaded by its full path in the program's own folder, never by
 * the default search: a fwstack_update.dll in the current folder or on PATH
 * must not be the one that runs. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <fwstack_update.h>

#include "fwstack_program.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

typedef void (*cleanup_fn)(const fwstack_settings*, const wchar_t*);
typedef uint32_t (*update_fn)(const fwstack_settings*, fwstack_result*);

/* <folder of this program>\fwstack_update.dll, loaded from there alone; its
 * own imports (kernel32) come from the system folder. */
static HMODULE load_engine(void) {
    static const wchar_t name[] = L"fwstack_update.dll";
    wchar_t path[MAX_PATH + 32];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return NULL;
    while (n > 0 && path[n - 1] != L'\\') --n;
    memcpy(path + n, name, sizeof name);
    return LoadLibraryExW(path, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int main(int argc, char** argv) {
    fwstack_settings settings;
    fwstack_result result;
    HMODULE engine;
    cleanup_fn cleanup;
    update_fn update;

    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", FWSTACK_PROGRAM_NAME, FWSTACK_PROGRAM_VERSION);
        return 0;
    }
    engine = load_engine();
    cleanup = engine ? (cleanup_fn)(void (*)(void))GetProcAddress(engine, "fwstack_cleanup_w") : NULL;
    update = engine ? (update_fn)(void (*)(void))GetProcAddress(engine, "fwstack_update") : NULL;
    if (cleanup == NULL || update == NULL) {
        fprintf(stderr, "%s: fwstack_update.dll is missing beside the program (error %lu)\n",
                FWSTACK_PROGRAM_NAME, GetLastError());
        return 1;
    }
    memset(&settings, 0, sizeof settings);
    settings.size = sizeof settings;
    settings.program_name = FWSTACK_PROGRAM_NAME;
    settings.update_info_address = FWSTACK_PROGRAM_UPDATE_ADDRESS;
    settings.publisher = FWSTACK_PROGRAM_PUBLISHER;
    settings.product_name = FWSTACK_PROGRAM_PRODUCT;
    settings.version_text = FWSTACK_PROGRAM_VERSION;
    settings.options = HELLO_OPTIONS;
    /* Early at every start: removes what the last update left behind. */
    cleanup(&settings, NULL);
    if (argc == 2 && strcmp(argv[1], "update") == 0) {
        update(&settings, &result);
        fputs(result.report, result.exit_code == 0 ? stdout : stderr);
        return (int)result.exit_code;
    }
    if (argc == 1) {
        printf("Hello from %s %s\n", FWSTACK_PROGRAM_NAME, FWSTACK_PROGRAM_VERSION);
        return 0;
    }
    fprintf(stderr, "usage: %s [--version | update]\n", FWSTACK_PROGRAM_NAME);
    return 2;
}
