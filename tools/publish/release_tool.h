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
};
enum Option : u32 {
    OptionCa = 1, OptionForce = 2, OptionInstalled = 4, OptionCrl = 8, OptionNoRevocation = 16,
    OptionVerbose = 32, OptionRequireTimestamp = 64,
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

// The subcommands; each takes main's arguments and returns the exit code.
int Verify(int argc, char** argv);
int Publish(int argc, char** argv);
int Check(int argc, char** argv);
