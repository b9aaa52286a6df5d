/* hello-msvc: examples/c's program built the MSVC way, with no C runtime at
 * all: compiled by cl or clang-cl, linked by link or lld-link with
 * /nodefaultlib against fwstack_update.lib and kernel32 alone.
 *
 *   hello-msvc             greets
 *   hello-msvc --version   prints the version
 *   hello-msvc update      updates the program from its update server
 *
 * Without a C runtime there is no main, printf or strcmp: the entry point
 * reads the command line itself and writes with WriteFile. The identity
 * comes from fwstack_program.h, which build.sh writes; the version resource
 * is made from the same values. Built with HELLO_WITHOUT_UPDATE the program
 * has no update command and does not use the engine, which shows what it adds. */
#include <stddef.h>

#include "fwstack_program.h"

#ifndef HELLO_WITHOUT_UPDATE
#include <fwstack_update.h>
#endif

/* The kernel32 functions the program calls, declared here so that it
 * builds without the Windows SDK's headers too (windows.h has the same). */
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* bytes, unsigned long n,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) wchar_t* __stdcall GetCommandLineW(void);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

#define STDOUT ((unsigned long)-11)
#define STDERR ((unsigned long)-12)

#ifndef HELLO_WITHOUT_UPDATE
/* Constant data: nothing to fill at run time (a C runtime's memset is not
 * there). */
static const fwstack_settings hello_settings = {
    .program_name = FWSTACK_PROGRAM_NAME,
    .update_info_address = FWSTACK_PROGRAM_UPDATE_ADDRESS,
    .publisher = FWSTACK_PROGRAM_PUBLISHER,
    .product_name = FWSTACK_PROGRAM_PRODUCT,
    /* The version this build is, as the version resource also says. */
    .version_text = FWSTACK_PROGRAM_VERSION,
    .size = sizeof(fwstack_settings),
};
#endif

static void write_bytes(unsigned long which, const char* bytes, unsigned long n) {
    unsigned long written = 0;
    WriteFile(GetStdHandle(which), bytes, n, &written, 0);
}

static void write_text(unsigned long which, const char* text) {
    unsigned long n = 0;
    while (text[n] != 0) ++n;
    write_bytes(which, text, n);
}

/* The arguments after the program's own name, blanks around them dropped. */
static const wchar_t* arguments(unsigned long* length) {
    const wchar_t* at = GetCommandLineW();
    if (*at == L'"') {
        for (++at; *at != 0 && *at != L'"'; ++at) {}
        if (*at == L'"') ++at;
    } else {
        while (*at != 0 && *at != L' ' && *at != L'\t') ++at;
    }
    while (*at == L' ' || *at == L'\t') ++at;
    unsigned long n = 0;
    while (at[n] != 0) ++n;
    while (n > 0 && (at[n - 1] == L' ' || at[n - 1] == L'\t')) --n;
    *length = n;
    return at;
}

static int equals(const wchar_t* text, unsigned long n, const wchar_t* word) {
    unsigned long i = 0;
    for (; i < n && word[i] != 0; ++i) {
        if (text[i] != word[i]) return 0;
    }
    return i == n && word[i] == 0;
}

static unsigned int hello(void) {
    unsigned long n = 0;
    const wchar_t* args = arguments(&n);
#ifndef HELLO_WITHOUT_UPDATE
    fwstack_result result;
    /* Early at every start: removes what the last update left behind. */
    fwstack_cleanup(&hello_settings, 0);
#endif
    if (equals(args, n, L"--version")) {
        write_text(STDOUT, FWSTACK_PROGRAM_NAME " " FWSTACK_PROGRAM_VERSION "\n");
        return 0;
    }
#ifndef HELLO_WITHOUT_UPDATE
    if (equals(args, n, L"update")) {
        fwstack_update(&hello_settings, &result);
        write_bytes(result.exit_code == 0 ? STDOUT : STDERR, result.report, result.report_length);
        return result.exit_code;
    }
#endif
    if (n == 0) {
        write_text(STDOUT, "Hello from " FWSTACK_PROGRAM_NAME " " FWSTACK_PROGRAM_VERSION "\n");
        return 0;
    }
    write_text(STDERR, "usage: " FWSTACK_PROGRAM_NAME " [--version | update]\n");
    return 2;
}

/* The entry point (link /entry:HelloStart). */
void HelloStart(void) {
    ExitProcess(hello());
}
