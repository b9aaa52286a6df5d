/* fwstack_update.h: the fwstack self-update engine for any 64-bit Windows program.
 *
 * A program that links this library keeps its own executable (or another
 * program file it names) up to date from an HTTPS update server:
 *
 *   1. At every start, as early as possible, call fwstack_cleanup(): it
 *      removes what an earlier update left beside the program file.
 *   2. Where the program offers it (an "update" command, a menu item), call
 *      fwstack_update(): one attempt checks the server's update document,
 *      downloads a newer release beside the program, verifies its SHA-256
 *      digest, its Authenticode signer and its version resource, and puts it
 *      in the program's place, keeping the previous file until the next start.
 *      A failed replacement is rolled back.
 *
 * The update document, "https://<server>/downloads/<program>/latest.txt",
 * and the release it names are made by the release tool (fwstack-publish).
 * The program file must carry a version resource and be Authenticode-signed
 * by the publisher named in the settings; the CMake helpers of this package
 * add both at build time.
 *
 * The engine prints nothing, allocates no heap memory, starts no thread,
 * keeps no state between calls and closes every handle it opens. It needs
 * nothing from the C runtime. Text is ASCII; paths are handed to Windows one
 * byte to one UTF-16 unit.
 *
 * Texts are read up to their terminating zero, and never beyond 4097 bytes:
 * a longer text is invalid.
 *
 * Calls are safe from several threads: two attempts on the same program file
 * at once (from two threads or two processes) exclude each other, and the
 * later one ends with FWSTACK_ANOTHER_UPDATE_RUNNING.
 */
#ifndef FWSTACK_UPDATE_H
#define FWSTACK_UPDATE_H

#include <stdint.h>

#define FWSTACK_UPDATE_VERSION_MAJOR 1
#define FWSTACK_UPDATE_VERSION_MINOR 0
#define FWSTACK_UPDATE_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of fwstack_settings.options; other bits are ignored. */
#define FWSTACK_ALLOW_LOCAL_HTTP 1u       /* also accept http://127.0.0.1[:port] addresses */
#define FWSTACK_NO_REVOCATION_CHECK 2u    /* do not check the signer's certificates for revocation */
#define FWSTACK_SKIP_VERSION_RESOURCE 4u  /* trust the announced version instead of the download's */

/* What the engine knows of the program it updates. Filled in by the host at
 * run time; every text is a zero-terminated ASCII string that the engine only
 * reads during the call. A setting that breaks its rule makes every call end
 * with FWSTACK_SETTINGS_INVALID and touch nothing. */
typedef struct fwstack_settings {
    /* 1 to 32 bytes of A-Z, a-z, 0-9, ".", "-", "_"; the first word of the
     * report line and the key of the update document ("mytool"). */
    const char* program_name;
    /* "https://<host>[:<port>]/<path>", the update document's address
     * ("https://updates.example.com/downloads/mytool/latest.txt"). The
     * release it announces must lie on the same scheme, host and port. The
     * address up to its last "/" is the downloads page that the report names
     * when the program folder is read-only. */
    const char* update_info_address;
    /* 1 to 64 printable ASCII bytes: the common name of the certificate that
     * must have signed a release ("Example Software Ltd."). */
    const char* publisher;
    /* 1 to 64 printable ASCII bytes: the HTTP user agent ("My Tool"). */
    const char* product_name;
    /* The installed version, "X.Y.Z" or "X.Y.Z-pre.N", at most 32 bytes. Null
     * or empty: read from the program file's version resource, and then the
     * up-to-date line names no version ("<program>  is up to date"). */
    const char* version_text;
    /* The largest release accepted, in bytes; 0 means 64 MiB. */
    uint64_t max_download_size;
    /* FWSTACK_* option bits; 0 for a release build. */
    uint32_t options;
} fwstack_settings;

/* The final state of an attempt. */
#define FWSTACK_UP_TO_DATE 1         /* the announced version is not newer */
#define FWSTACK_AVAILABLE_READ_ONLY 3 /* newer, but the program folder is read-only */
#define FWSTACK_UPDATED 5            /* the program file now holds the new release */
#define FWSTACK_FAILED 7             /* the attempt stopped; error says why */

/* Why an attempt failed (result.error); 0 when it did not. */
#define FWSTACK_SETTINGS_INVALID 1
#define FWSTACK_PROGRAM_FILE_NOT_FOUND 2
#define FWSTACK_INSTALLED_VERSION_UNKNOWN 4
#define FWSTACK_INFO_NOT_DELIVERED 6
#define FWSTACK_INFO_MALFORMED 7
#define FWSTACK_DOWNLOAD_NOT_ON_SERVER 8
#define FWSTACK_ANOTHER_UPDATE_RUNNING 9
#define FWSTACK_DOWNLOAD_NOT_SAVED 10
#define FWSTACK_DOWNLOAD_FAILED 11
#define FWSTACK_DOWNLOAD_DAMAGED 12
#define FWSTACK_DOWNLOAD_NOT_SIGNED 13
#define FWSTACK_DOWNLOAD_WRONG_SIGNER 14
#define FWSTACK_DOWNLOAD_WRONG_VERSION 15
#define FWSTACK_STAGED_UPDATE_MISSING 16
#define FWSTACK_STAGE_FAILED 17
#define FWSTACK_PROGRAM_NOT_REPLACED 18
#define FWSTACK_FOLDER_READ_ONLY 20 /* goes with FWSTACK_AVAILABLE_READ_ONLY */
#define FWSTACK_REVOCATION_UNCHECKED 21 /* the CA's revocation servers could not be reached */
#define FWSTACK_UPDATE_RECORD_UNWRITTEN 23

#define FWSTACK_REPORT_CAPACITY 256

/* The outcome of one attempt, filled in whole by the call. */
typedef struct fwstack_result {
    uint32_t state;      /* FWSTACK_UP_TO_DATE, _AVAILABLE_READ_ONLY, _UPDATED or _FAILED */
    uint32_t error;      /* 0 or one of the reasons above */
    uint32_t exit_code;  /* what a console program exits with: 0 up to date or updated, else 1 */
    uint32_t report_length; /* bytes of report before its terminating zero */
    /* One line ending in "\n", zero-terminated, for the host to print where it
     * wants (standard output for exit code 0, standard error for 1):
     *   "<program> 1.0.0 is up to date\n"
     *   "<program> updated to 1.0.1\n"
     *   "<program> 1.0.1 is available but the program folder is read-only: download it from <page>\n"
     *   "<program> update failed: <reason>\n" */
    char report[FWSTACK_REPORT_CAPACITY + 1];
} fwstack_result;

/* Removes the files an earlier update left beside the program file
 * ("<file>.old", ".old1" to ".old9", ".new", ".download", ".latest"),
 * silently; failures wait for a later start. An update moves the program
 * aside to ".old", or, while an older instance still runs from that name
 * (Windows keeps a running program's file), to the first free of ".old1" to
 * ".old9": a host that runs for hours can update again and again.
 * program_path null or empty: the running program's own file; otherwise the
 * program file it names. Does nothing when the settings are invalid or null. */
void fwstack_cleanup(const fwstack_settings* settings, const char* program_path);

/* One update attempt on the running program's own file. Fills *result (when
 * not null) and returns its exit_code. Null or invalid settings: state
 * FWSTACK_FAILED, error FWSTACK_SETTINGS_INVALID, nothing touched. */
uint32_t fwstack_update(const fwstack_settings* settings, fwstack_result* result);

/* The same for the program file at program_path (zero-terminated, absolute or
 * relative to the current folder, 1 to 1083 bytes): for a host that updates
 * a program other than itself. Each byte becomes one UTF-16 unit of the same
 * value (bytes above 127 are Latin-1, never decoded as UTF-8). A null, empty
 * or longer path ends with FWSTACK_PROGRAM_FILE_NOT_FOUND (or
 * FWSTACK_SETTINGS_INVALID, which is judged first). */
uint32_t fwstack_update_file(const fwstack_settings* settings, const char* program_path,
                             fwstack_result* result);

#ifdef __cplusplus
}
#endif

#endif /* FWSTACK_UPDATE_H */
