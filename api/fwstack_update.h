/* fwstack_update.h: the fwstack self-update engine for any 64-bit Windows program.
 *
 * A program that links this library keeps its own executable (or another
 * program file it names) up to date from an HTTPS update server. The update
 * document, "https://<server>/downloads/<program>/latest.txt", and the
 * release it names are made by the release tool (fwstack-publish). The
 * program file must carry a version resource and be Authenticode-signed by
 * the publisher named in the settings; the CMake helpers of this package add
 * both at build time.
 *
 * The calls, in the order of a program's life:
 *
 *   fwstack_cleanup()   at every start, as early as possible: removes what an
 *                       earlier update left beside the program file.
 *   fwstack_check()     asks the update server; writes nothing. Up to date,
 *                       or available with the announced version.
 *   fwstack_download()  checks, downloads the newer release beside the
 *                       program, verifies it (SHA-256 digest, Authenticode
 *                       signer, version resource) and stages it as
 *                       "<file>.new" with its update record "<file>.latest".
 *   fwstack_apply()     verifies the staged release again and puts it in the
 *                       program's place, keeping the previous file as
 *                       "<file>.old" until the next start; a failed
 *                       replacement is rolled back. At once, when the host
 *                       exits, or early at its next start (see
 *                       FWSTACK_KEEP_STAGED).
 *   fwstack_update()    all three at once: check, download and apply.
 *
 * After an apply or an update in a process that keeps running, a later check
 * or update of the same file is judged against what the file now holds: it
 * ends in FWSTACK_INSTALLED ("restart to use it") and downloads nothing.
 *
 * The engine prints nothing, allocates no heap memory, starts no thread,
 * keeps no state between calls, closes every handle it opens and changes
 * nothing that belongs to the whole process (DLL search order, current
 * folder, error mode, console). It needs nothing from the C runtime nor from
 * the compiler's support library (libgcc): its objects import kernel32
 * functions alone, so MinGW's and MSVC's linkers both take it. The system
 * DLLs it uses besides kernel32 (winhttp, wintrust, crypt32, user32, and
 * bcrypt for a host with a publisher key) are loaded from the system folder
 * by full name, on first use.
 *
 * Stack: an attempt needs at most FWSTACK_STACK_BYTES of the calling thread's
 * stack for the engine's own frames (measured from the compiler's stack-usage
 * output by bench/run.sh), plus what Windows' own functions take; it runs on
 * a thread created with a 128 KiB stack reservation. Its run record (about
 * 17 KiB) and its large buffers (64 KiB for transfers and hashing) live in
 * pages it commits for the call and frees before returning; without memory
 * for the record a call fails with FWSTACK_INFO_NOT_DELIVERED, transfer stage
 * FWSTACK_STAGE_RESPONSE and system_error 8 (ERROR_NOT_ENOUGH_MEMORY).
 *
 * Text is zero-terminated ASCII, read up to its terminator and never beyond
 * 4097 bytes (a longer text is invalid). Program paths come as UTF-16
 * (wchar_t, the *_w calls and the step calls) or as 8-bit text, each byte one
 * UTF-16 unit (bytes above 127 are Latin-1, never decoded as UTF-8). A
 * relative path is made absolute once, at the call, against the process's
 * current folder at that moment.
 *
 * Calls are safe from several threads: two attempts on the same program file
 * at once (from two threads or two processes) exclude each other, and the
 * later one ends with FWSTACK_ANOTHER_UPDATE_RUNNING.
 *
 * Growing: the records only ever gain fields at their end (settings) or in
 * their reserved room (result). A host sets settings.size to
 * sizeof(fwstack_settings) as its header declares it. 0 is read as version
 * 1.0's record, 56 bytes: the fields up to options (and their padding), no
 * progress; a 1.0 host never set the field. A size from 56 to 88 reads the
 * fields it covers whole and takes the others as zero; a size from 1 to 55
 * is refused with FWSTACK_SETTINGS_INVALID. A record larger than the engine
 * knows is accepted when its unknown tail is all zero bytes, and refused
 * with FWSTACK_SETTINGS_INVALID otherwise (the host asks for something this
 * engine cannot do). The result is 512 bytes in every 2.x version and is written
 * whole; new fields take its reserved room, which reads as zero before then.
 * A host built against 2.x works with every later 2.y engine.
 */
#ifndef FWSTACK_UPDATE_H
#define FWSTACK_UPDATE_H

#include <stddef.h>
#include <stdint.h>

#define FWSTACK_UPDATE_VERSION_MAJOR 2
#define FWSTACK_UPDATE_VERSION_MINOR 1
#define FWSTACK_UPDATE_VERSION_PATCH 0

/* The most stack, in bytes, that the engine's own frames take in one call:
 * the largest sum of GCC's frame sizes along any call path from an fwstack_*
 * function (7,544 bytes for 2.1, measured by bench/run.sh), rounded up. No
 * frame is over 4 KiB, so the library calls no compiler stack probe. */
#define FWSTACK_STACK_BYTES 8192

/* The engine linked statically (fwstack::update, libfwstack_update.a) needs
 * nothing. A host that calls fwstack_update.dll through its import library
 * defines FWSTACK_UPDATE_DLL (the CMake target fwstack::update_dll does), and
 * the functions are declared for import. */
#if defined(FWSTACK_UPDATE_DLL) && defined(_WIN32)
#define FWSTACK_UPDATE_API __declspec(dllimport)
#else
#define FWSTACK_UPDATE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of fwstack_settings.options; other bits are ignored. */
#define FWSTACK_ALLOW_LOCAL_HTTP 1u       /* also accept http://127.0.0.1[:port] addresses */
#define FWSTACK_NO_REVOCATION_CHECK 2u    /* do not check the signer's certificates for revocation */
#define FWSTACK_SKIP_VERSION_RESOURCE 4u  /* trust the announced version instead of the download's */
/* fwstack_cleanup leaves a staged release ("<file>.new" and its record
 * "<file>.latest") in place for a later fwstack_apply; everything else is
 * still removed. For a host that applies when it exits or early at its next
 * start: it sets the bit in the settings of every call. A staged release that
 * no longer verifies (damaged, or not newer than the program file) is removed
 * by the fwstack_apply that finds it so. */
#define FWSTACK_KEEP_STAGED 8u
/* With a publisher key set: accept a release that carries no Authenticode
 * signature. The signed update document's SHA-256 digest binds the release to
 * the key; the version resource is still checked. Invalid without a key.
 * Only a release with no signature at all is let through, in the download
 * and again in the apply: a release that is signed is judged as without the
 * option, so a broken signature still ends in FWSTACK_DOWNLOAD_NOT_SIGNED and
 * another signer in FWSTACK_DOWNLOAD_WRONG_SIGNER. Without the option a keyed
 * host requires both the signed document and the Authenticode signature. */
#define FWSTACK_ALLOW_UNSIGNED_RELEASE 16u

/* Which transfer a progress call is about. */
#define FWSTACK_TRANSFER_DOCUMENT 1u
#define FWSTACK_TRANSFER_RELEASE 2u

/* Told of a transfer's progress, on the calling thread: once before the
 * request (received 0), then as the body comes, at most once every 64 KiB or
 * about ten times a second, and once when it is whole. total is the length
 * the server announced, 0 when it sent none. Returning nonzero stops the
 * attempt: it ends with FWSTACK_CANCELLED, leaves no download behind, frees
 * the update lock and does not touch the program file. To stop from another
 * thread, set a flag there and return it here: it is asked again as soon as
 * more of the body arrives, so a stop takes effect at once while the server
 * sends, and at the latest when a server that has gone silent reaches the
 * receive time-out (30 s). The callback must not call the engine. */
typedef int (*fwstack_progress_fn)(void* context, uint32_t transfer, uint64_t received,
                                   uint64_t total);

/* What the engine knows of the program it updates. Filled in by the host at
 * run time, zero-filled first; every text is a zero-terminated ASCII string
 * that the engine only reads during the call. A setting that breaks its rule
 * makes every call end with FWSTACK_SETTINGS_INVALID and touch nothing. */
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
     * must have signed a release ("Example Tools Ltd."). */
    const char* publisher;
    /* 1 to 64 printable ASCII bytes: the HTTP user agent ("My Tool"). */
    const char* product_name;
    /* The installed version, "X.Y.Z" or "X.Y.Z-pre.N", at most 32 bytes. Null
     * or empty: read from the program file's version resource. */
    const char* version_text;
    /* The largest release accepted, in bytes; 0 means 64 MiB. */
    uint64_t max_download_size;
    /* FWSTACK_* option bits; 0 for a release build. */
    uint32_t options;
    /* sizeof(fwstack_settings) (72 in 2.0, 88 in 2.1). It sits where version 1.0 had
     * padding, so a zero-filled 1.0 record (size 0) reads as one of 56 bytes,
     * without progress. */
    uint32_t size;
    /* Since 2.0: told of each transfer's progress, or null. */
    fwstack_progress_fn progress;
    /* Handed to progress as it is. */
    void* progress_context;
    /* Since 2.1: the publisher's own keys, each null or 64 bytes, an ECDSA
     * P-256 public key as X then Y (32 bytes each, big-endian), as
     * "fwstack-publish keygen" prints it. Two, so that a publisher can move to
     * a new key: ship a release that trusts both, then sign with the new one.
     * With a key set, the update document must carry its signed tail (see
     * FWSTACK_INFO_NOT_SIGNED) and the check verifies it once the five lines
     * parse (a malformed document stays FWSTACK_INFO_MALFORMED) and before
     * anything the document says is used: the same-server rule, the
     * versions, the download. A signature by either key will do. An apply
     * verifies the signature of the staged update record again (not its
     * expiry: a release staged in time may be applied later); one that no
     * key made ends in FWSTACK_UPDATE_RECORD_UNWRITTEN and the staged release
     * is removed. second_publisher_key without publisher_key is invalid. A key
     * whose 64 bytes are no point of the curve is not refused as invalid
     * settings: it verifies no signature, so every check with it ends in
     * FWSTACK_INFO_NOT_SIGNED. Without a key nothing after the fifth line is
     * examined. The verification uses CNG (bcrypt.dll, loaded from the system
     * folder on first use by a keyed host) and the system's UTC clock. */
    const uint8_t* publisher_key;
    const uint8_t* second_publisher_key;
} fwstack_settings;

/* The state an attempt ended in. */
#define FWSTACK_UP_TO_DATE 1          /* the announced version is not newer */
#define FWSTACK_AVAILABLE 2           /* fwstack_check: a newer release is announced */
#define FWSTACK_AVAILABLE_READ_ONLY 3 /* newer, but the program folder is read-only */
#define FWSTACK_STAGED 4              /* fwstack_download: verified and waiting for fwstack_apply */
#define FWSTACK_UPDATED 5             /* the program file now holds the new release */
#define FWSTACK_FAILED 7              /* the attempt stopped; error says why */
#define FWSTACK_INSTALLED 8           /* the program file already holds the announced
                                         release, since this process started: restart to use it */

/* Why an attempt failed (result.error); 0 when it did not. */
#define FWSTACK_SETTINGS_INVALID 1
#define FWSTACK_PROGRAM_FILE_NOT_FOUND 2
#define FWSTACK_INSTALLED_VERSION_UNKNOWN 4
#define FWSTACK_INFO_NOT_DELIVERED 6  /* transfer_stage and system_error say more */
#define FWSTACK_INFO_MALFORMED 7
#define FWSTACK_DOWNLOAD_NOT_ON_SERVER 8
#define FWSTACK_ANOTHER_UPDATE_RUNNING 9
#define FWSTACK_DOWNLOAD_NOT_SAVED 10
#define FWSTACK_DOWNLOAD_FAILED 11    /* transfer_stage and system_error say more */
#define FWSTACK_DOWNLOAD_DAMAGED 12
#define FWSTACK_DOWNLOAD_NOT_SIGNED 13
#define FWSTACK_DOWNLOAD_WRONG_SIGNER 14
#define FWSTACK_DOWNLOAD_WRONG_VERSION 15
#define FWSTACK_STAGED_UPDATE_MISSING 16 /* also fwstack_apply with nothing staged */
#define FWSTACK_STAGE_FAILED 17
#define FWSTACK_PROGRAM_NOT_REPLACED 18
#define FWSTACK_FOLDER_READ_ONLY 20   /* goes with FWSTACK_AVAILABLE_READ_ONLY */
#define FWSTACK_REVOCATION_UNCHECKED 21 /* the CA's revocation servers could not be reached */
#define FWSTACK_UPDATE_RECORD_UNWRITTEN 23
#define FWSTACK_CANCELLED 24          /* the progress callback asked to stop */
/* With a publisher key: the document's tail is missing or deviates, or its
 * signature was made by no trusted key. The tail is two lines after the
 * fifth, and the document ends with them:
 *   "expires 2027-01-09T00:00:00Z\n"   (UTC, exactly this form)
 *   "signature <128 lower-case hexadecimal digits: r then s>\n"
 * signed (ECDSA P-256 over SHA-256) from the document's first byte through
 * the line feed of the expires line.
 * The expires time must be a real date and time (hour 00 to 23, no second
 * 60, February 29 only in a leap year). The signature is judged before the
 * time, so an unsigned document is never called expired. */
#define FWSTACK_INFO_NOT_SIGNED 25
/* The signed expires time is before the system's clock (a time equal to it
 * is still valid). */
#define FWSTACK_INFO_EXPIRED 26

/* Where a transfer failed (result.transfer_stage); 0 when it did not. */
#define FWSTACK_STAGE_ADDRESS 1     /* the address is not an update address */
#define FWSTACK_STAGE_SESSION 2     /* WinHTTP could not be set up (TLS 1.2 unavailable, ...) */
#define FWSTACK_STAGE_CONNECTION 3  /* the connection could not be opened */
#define FWSTACK_STAGE_EXCHANGE 4    /* sending or the answer failed: server unreachable
                                       (system_error 12029), certificate not trusted (12175), ... */
#define FWSTACK_STAGE_RESPONSE 5    /* the status or body could not be read, or came too slowly */
#define FWSTACK_STAGE_TOO_LARGE 6   /* the body is longer than allowed */
#define FWSTACK_STAGE_FILE_WRITE 7  /* the download could not be written */
#define FWSTACK_STAGE_CANCELLED 8   /* the progress callback asked to stop */

#define FWSTACK_REPORT_CAPACITY 256
#define FWSTACK_VERSION_CAPACITY 32

/* The outcome of one call, written whole (512 bytes) by the call. */
typedef struct fwstack_result {
    uint32_t state;      /* one of the states above */
    uint32_t error;      /* 0 or one of the reasons above */
    uint32_t exit_code;  /* what a console program exits with: 1 for FWSTACK_FAILED and
                            FWSTACK_AVAILABLE_READ_ONLY, else 0 */
    uint32_t report_length; /* bytes of report before its terminating zero */
    /* One line ending in "\n", zero-terminated, for the host to print where it
     * wants (standard output for exit code 0, standard error for 1):
     *   "<program> 1.0.0 is up to date\n"
     *   "<program> 1.0.1 is available\n"
     *   "<program> 1.0.1 is ready to install\n"
     *   "<program> updated to 1.0.1\n"
     *   "<program> 1.0.1 is installed; restart to use it\n"
     *   "<program> 1.0.1 is available but the program folder is read-only: download it from <page>\n"
     *   "<program> update failed: <reason>\n"
     * A version the settings do not give is left out of the up-to-date line,
     * its blanks kept ("<program>  is up to date\n"; installed_version has
     * the program file's); a line never carries a setting that broke its
     * rule: with an invalid program name it begins "update failed: ". */
    char report[FWSTACK_REPORT_CAPACITY + 1];
    uint8_t reserved_padding[7];
    /* The release's size in bytes once known (the announced length of its
     * transfer, or what was downloaded), else 0. */
    uint64_t release_size;
    /* For a failed transfer: FWSTACK_STAGE_*, the system's error code there
     * (GetLastError, for example ERROR_WINHTTP_SECURE_FAILURE) and the HTTP
     * status when one came; zero otherwise. */
    uint32_t transfer_stage;
    uint32_t system_error;
    uint32_t http_status;
    /* The installed version (from the settings or the program file) and the
     * announced one, zero-terminated; empty when not known. */
    char installed_version[FWSTACK_VERSION_CAPACITY + 1];
    char available_version[FWSTACK_VERSION_CAPACITY + 1];
    uint8_t reserved[146];
} fwstack_result;

/* Removes the files an earlier update left beside the program file
 * ("<file>.old", ".old1" to ".old9", ".new", ".download", ".latest";
 * with FWSTACK_KEEP_STAGED, ".new" and ".latest" stay), silently; failures
 * wait for a later start. A file that another attempt's swap still holds is
 * never removed. An update moves the program aside to ".old", or, while an
 * older instance still runs from that name (Windows keeps a running
 * program's file), to the first free of ".old1" to ".old9": a host that runs
 * for hours can update again and again. program_path null or empty: the
 * running program's own file; otherwise the program file it names (1 to 1083
 * units). Does nothing when the settings are invalid or null. */
FWSTACK_UPDATE_API void fwstack_cleanup(const fwstack_settings* settings, const char* program_path);
FWSTACK_UPDATE_API void fwstack_cleanup_w(const fwstack_settings* settings, const wchar_t* program_path);

/* The step calls. program_path null: the running program's own file;
 * otherwise the program file it names (1 to 1083 units; a longer or empty
 * path ends with FWSTACK_PROGRAM_FILE_NOT_FOUND, after
 * FWSTACK_SETTINGS_INVALID, which is judged first). Each fills *result (when
 * not null) and returns its exit_code. Null or invalid settings: state
 * FWSTACK_FAILED, error FWSTACK_SETTINGS_INVALID, nothing touched. */

/* Asks the server; writes nothing. FWSTACK_UP_TO_DATE, FWSTACK_AVAILABLE,
 * FWSTACK_INSTALLED or FWSTACK_FAILED. */
FWSTACK_UPDATE_API uint32_t fwstack_check(const fwstack_settings* settings, const wchar_t* program_path,
                                          fwstack_result* result);

/* Checks, then downloads, verifies and stages a newer release under the
 * update lock: FWSTACK_STAGED (a release staged before is replaced), or as
 * fwstack_check, or FWSTACK_AVAILABLE_READ_ONLY, or FWSTACK_FAILED. */
FWSTACK_UPDATE_API uint32_t fwstack_download(const fwstack_settings* settings, const wchar_t* program_path,
                                             fwstack_result* result);

/* Puts the staged release in the program's place, verified again first
 * against its update record: FWSTACK_UPDATED, or FWSTACK_FAILED
 * (FWSTACK_STAGED_UPDATE_MISSING with nothing staged, also after an apply
 * that already took it; FWSTACK_UPDATE_RECORD_UNWRITTEN for a record that
 * cannot be read, whose staged file is then removed). Talks to no server. */
FWSTACK_UPDATE_API uint32_t fwstack_apply(const fwstack_settings* settings, const wchar_t* program_path,
                                          fwstack_result* result);

/* Check, download and apply in one call, on the running program's own file. */
FWSTACK_UPDATE_API uint32_t fwstack_update(const fwstack_settings* settings, fwstack_result* result);

/* The same for the program file at program_path: for a host that updates a
 * program other than itself. */
FWSTACK_UPDATE_API uint32_t fwstack_update_file(const fwstack_settings* settings, const char* program_path,
                                                fwstack_result* result);
FWSTACK_UPDATE_API uint32_t fwstack_update_file_w(const fwstack_settings* settings, const wchar_t* program_path,
                                                  fwstack_result* result);

#ifdef __cplusplus
}
#endif

#endif /* FWSTACK_UPDATE_H */
