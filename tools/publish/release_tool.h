// fwstack-publish: the pieces its subcommands share.
#pragma once

#include <string>
#include <vector>

#include "base/types.h"
#include "info/version.h"

// What a client of this build accepts: the program's own settings, or the
// identity given with --program, --publisher and --product.
struct ClientRules {
    std::string program;     // the document's first key and the release's name prefix
    std::string publisher;   // the signer's common name a release must have
    std::string userAgent;   // the product name the client sends
    u64 maxDownloadSize;     // the largest release a client downloads
};
struct ToolOptions;
ClientRules ReadClientRules(const ToolOptions& options);

// The options before the positional arguments.
struct ToolOptions {
    std::string ca;          // --ca FILE: trust anchor for signatures (and TLS for check)
    bool force = false;      // --force: publish a version that is not newer
    std::string installed;   // --installed X.Y.Z: the client version check asks for
    std::vector<std::string> crls;  // --crl FILE, repeatable: CRLs given instead of fetched
    bool noRevocation = false;      // --no-revocation: revocation is not checked
    bool verbose = false;           // --verbose: osslsigncode's own report too
    bool requireTimestamp = false;  // --require-timestamp: refuse a release without one
    std::string program;     // --program NAME, empty for this build's own
    std::string publisher;   // --publisher TEXT: the signer's common name
    std::string product;     // --product TEXT: the product name the client sends
    // --identity FILE: the identity fwstack_update_program wrote beside a
    // host's build, instead of the three options above.
    std::string identity;
    std::string identityVersion;  // the version that build has
    std::string updateAddress;    // the update document's address it was built with, or empty
    // --key: publish and refresh sign with it (a PEM file or a pkcs11: URI);
    // check verifies with each (128 hex digits or a key file), at most two.
    std::vector<std::string> keys;
    std::string expires;       // --expires 30d | 12h | YYYY-MM-DDTHH:MM:SSZ
    std::string pkcs11Module;  // --pkcs11-module FILE: the token's PKCS#11 module
    std::string pinFile;       // --pin-file FILE: the token's PIN on the first line
    // --allow-unsigned-release, with --key: a release without Authenticode,
    // for clients built with FWSTACK_ALLOW_UNSIGNED_RELEASE.
    bool allowUnsignedRelease = false;
};
enum Option : u32 {
    OptionCa = 1, OptionForce = 2, OptionInstalled = 4, OptionCrl = 8, OptionNoRevocation = 16,
    OptionVerbose = 32, OptionRequireTimestamp = 64,
    OptionKey = 128,     // --key, --pkcs11-module, --pin-file
    OptionExpires = 256, // --expires
    OptionTwoKeys = 512, // --key may be given twice
    OptionAllowUnsigned = 1024,  // --allow-unsigned-release
    // What every command that verifies a release takes.
    OptionsOfVerify =
        OptionCa | OptionCrl | OptionNoRevocation | OptionVerbose | OptionRequireTimestamp
};

// Reads the options that allowed names, and the identity options every form
// takes, from argv[first...]; returns the index of the first positional
// argument, or 0 on an unknown, repeated-empty or incomplete option, on --crl
// with --no-revocation, on --identity with one of --program, --publisher,
// --product, or on a program name a document cannot carry; -1 after saying
// why the --identity file cannot be used.
int ReadOptions(int argc, char** argv, u32 allowed, ToolOptions* out, int first = 2);

// Whether the release is checked for a program other than fwstack itself.
bool IsHostRelease(const ToolOptions& options);

// folder + "/" + name, with the folder's trailing slashes dropped.
std::string PathIn(const std::string& folder, const std::string& name);

// The usage text, also printed by --help.
extern const char UsageText[];
// Prints the usage text to standard error; returns 2, the usage exit code.
int Usage();
// Prints "fwstack-publish: message" to standard error; returns 1.
int Fail(const std::string& message);

std::string VersionText(Version v);
// The tool accepts plain http only on 127.0.0.1, for local tests.
bool AllowsLocalHttp(const std::string& address);

// The file version as the client reads it from a release's version resource.
bool ReadReleaseVersion(const std::vector<u8>& file, Version* out);

// What a client checks of a release before it installs it: size within the
// download cap, a valid Authenticode signature, the publisher as signer, no
// revoked or uncheckable certificate below the root (unless --no-revocation),
// a readable version resource. Prints the verdict; returns 0 or 1 as the exit
// code. name is how the file is shown in messages.
int CheckRelease(const std::string& name, const std::string& path, const ToolOptions& options,
                 std::vector<u8>* file, Version* version);

// Checks every certificate of the signer's chain below its root against its
// issuer's CRL: from options.crls when given, else fetched from the addresses
// the certificate names. Prints what it checked; returns 0, or 1 after saying
// which certificate failed and what to do.
int CheckRevocation(const std::string& name, const std::vector<u8>& file,
                    const ToolOptions& options);

// What a release's signature tells apart from trust, read with OpenSSL.
struct SignatureFacts {
    bool intact = false;        // signed attributes and content verify with the signer's key
    bool untrustedRoot = false; // its chain ends in a root that the anchors do not hold
    std::string root;           // the common name of the root the chain ends in
    std::string signerExpires;  // the signer's certificate's notAfter, as text
};
// False when the file carries no readable signature. The anchors are those of
// options.ca, or the system's store.
bool ReadSignatureFacts(const std::vector<u8>& file, const ToolOptions& options,
                        SignatureFacts* out);

// The five-line document announcing release under name at url, checked with
// the client's parser; returns 0, or 1 after saying why it was refused.
int MakeDocument(const std::string& program, const std::string& versionText, const std::string& name, const std::string& url,
                 const std::vector<u8>& release, std::string* document);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::vector<u8>* out);

// Writes all size bytes to fd; false when a write fails.
bool WriteAll(int fd, const char* bytes, size_t size);

// Writes bytes to path through path + ".tmp": written, flushed to disk, then
// renamed over path, so that readers see the old file or the whole new one.
// On false, errno is the failed step's.
bool WriteDurably(const std::string& path, const char* bytes, size_t size);
// Flushes the folder's entries, so that a rename survives a power loss.
bool SyncFolder(const std::string& folder);

// The downloads folder held by this process alone while it writes there.
struct FolderLock {
    int fd = -1;
    ~FolderLock();
};
// Returns 0, or 1 after saying why the folder cannot be had.
int LockFolder(const std::string& folder, FolderLock* lock);

// The publisher's own key: an ECDSA P-256 public key, X then Y, big-endian.
struct PublisherKey {
    u8 bytes[64];
};
std::string KeyHex(const PublisherKey& key);
// "static const uint8_t publisher_key[64] = { 0x.., ... };"
std::string KeyInitializer(const PublisherKey& key);
// The signing key of options.keys[0]: a PEM private key file, or a pkcs11:
// URI through OpenSSL's pkcs11 engine; null after setting why.
typedef struct evp_pkey_st EVP_PKEY;
EVP_PKEY* LoadSigningKey(const ToolOptions& options, PublisherKey* pub, std::string* why);
// A loaded signing key and its public half, freed with the record.
struct SigningKey {
    EVP_PKEY* key = nullptr;
    PublisherKey pub = {};
    ~SigningKey();
};
// 128 lower-case hex digits, or a file holding them or a PEM public or
// private key; false after setting why.
bool ReadPublicKey(const std::string& hexOrFile, PublisherKey* out, std::string* why);
// Seconds since 1970 as YYYY-MM-DDTHH:MM:SSZ, and back (false on any other form).
std::string FormatExpires(i64 when);
bool ParseExpiresText(const std::string& text, i64* out);
// The --expires value: a duration (30d, 12h, 90m) from now, or an absolute time.
bool ParseExpiresOption(const std::string& text, i64 now, i64* out);
// The five lines followed by their expires line and its signature line.
bool SignDocument(const std::string& fiveLines, i64 expires, EVP_PKEY* key,
                  std::string* document, std::string* why);
enum TailVerdict { TailGood, TailMalformed, TailWrongKey, TailExpired };
// What a keyed client makes of what follows the five lines (which end at
// fiveEnd); expires and the index of the key that verified are set on the way.
TailVerdict VerifyTail(const std::string& document, size_t fiveEnd,
                       const std::vector<PublisherKey>& keys, i64 now, i64* expires,
                       size_t* whichKey);
// The expiry a signing command gives: --expires, or 28 days from now.
// Returns 0, or 1 after saying why.
int SignedExpiry(const ToolOptions& options, i64 now, i64* out);
// Prints why a signed tail is refused and what to do; returns 1.
int RefuseTail(const std::string& what, TailVerdict verdict, i64 expires);
// Days from now under which check warns that the signature runs out.
const i64 ExpiryWarningDays = 7;

// The subcommands; each takes main's arguments and returns the exit code.
int Verify(int argc, char** argv);
int Publish(int argc, char** argv);
int Check(int argc, char** argv);
int Keygen(int argc, char** argv);
int ShowPublicKey(int argc, char** argv);
int Refresh(int argc, char** argv);
