// fwstack-publish verify: what a client checks of a release, on Linux, with
// osslsigncode for the Authenticode signature.
#include <cstdio>
#include <iostream>

#include "tools/publish/release_tool.h"
#include "verify/pe_scan.h"

namespace {

// The resource section's bytes as the client reads them: headers from the
// first 4096 bytes and the same section size limit; empty when absent.
std::string ResourceSection(const std::vector<u8>& file) {
    const u64 headCount = file.size() < PeHeadBytes ? file.size() : PeHeadBytes;
    u32 size = 0;
    u32 pointer = 0;
    if (!LocateResourceSection(file.data(), headCount, &size, &pointer)) return {};
    if (size == 0 || size > MaxResourceSection || pointer >= file.size()) return {};
    u64 got = file.size() - pointer;
    if (got > size) got = size;
    return std::string(reinterpret_cast<const char*>(file.data()) + pointer, got);
}

// The "ProductVersion" text of the version resource's string table, read as
// ASCII from its UTF-16 value; empty when there is none.
std::string ProductVersionText(const std::string& section) {
    const std::string key("P\0r\0o\0d\0u\0c\0t\0V\0e\0r\0s\0i\0o\0n\0\0\0", 30);
    size_t at = section.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    while (at % 4 != 0 && at + 1 < section.size() && section[at] == 0 && section[at + 1] == 0) {
        at += 2;  // the value starts on a 32-bit boundary of the section
    }
    std::string text;
    for (; at + 1 < section.size(); at += 2) {
        const u8 low = static_cast<u8>(section[at]);
        const u8 high = static_cast<u8>(section[at + 1]);
        if (low == 0 && high == 0) break;
        text += high == 0 && low < 0x80 ? static_cast<char>(low) : '?';
    }
    return text;
}

// Runs command and returns its standard output and error; false when it
// could not be run or did not exit with 0.
bool RunCommand(const std::string& command, std::string* output) {
    output->clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return false;
    char chunk[4096];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output->append(chunk, n);
    return pclose(pipe) == 0;
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The common name in the first signer's "Subject:" line of osslsigncode's
// report, e.g. "/C=CZ/O=Kelvardo/CN=Kelvardo s.r.o."; empty when absent.
// NOTE: a common name holding "/" would be cut short here; it then fails the
// comparison with the publisher, which is the safe side.
std::string SignerCommonName(const std::string& report) {
    size_t at = report.find("Signer's certificate:");
    if (at == std::string::npos) return {};
    at = report.find("Subject: ", at);
    if (at == std::string::npos) return {};
    const size_t end = report.find('\n', at);
    const std::string subject = report.substr(at + 9, end == std::string::npos ? end : end - at - 9);
    const size_t cn = subject.rfind("/CN=");
    if (cn == std::string::npos) return {};
    const size_t stop = subject.find('/', cn + 4);
    return subject.substr(cn + 4, stop == std::string::npos ? stop : stop - cn - 4);
}

// Whether the digest the signature holds is the file's own, as osslsigncode
// reports both.
bool DigestsMatch(const std::string& report) {
    const auto digest = [&report](const std::string& label) {
        const size_t at = report.find(label);
        if (at == std::string::npos) return std::string();
        const size_t start = report.find_first_not_of(" :", at + label.size());
        const size_t end = report.find_first_of(" \n", start);
        return start == std::string::npos ? std::string() : report.substr(start, end - start);
    };
    const std::string current = digest("Current message digest");
    return !current.empty() && current == digest("Calculated message digest");
}

}  // namespace

namespace {

// The file version from the fixed file information in a resource section.
bool VersionFromSection(const std::string& section, Version* out) {
    *out = FreshVersion();
    u32 ms = 0;
    u32 ls = 0;
    if (section.empty() ||
        !ScanFixedFileInfo(reinterpret_cast<const u8*>(section.data()), section.size(), &ms, &ls)) {
        return false;
    }
    *out = VersionFromWords(ms, ls);
    return true;
}

}  // namespace

bool ReadReleaseVersion(const std::vector<u8>& file, Version* out) {
    return VersionFromSection(ResourceSection(file), out);
}

int CheckRelease(const std::string& name, const std::string& path, const ToolOptions& options,
                 std::vector<u8>* out, Version* outVersion) {
    const ClientRules rules = ReadClientRules(options);
    std::vector<u8> file;
    if (!ReadWholeFile(path, &file)) {
        return Fail("cannot open " + name + "; give the path of a release file");
    }
    if (file.size() > rules.maxDownloadSize) {
        return Fail(name + " has " + std::to_string(file.size()) + " bytes, more than the " +
                    std::to_string(rules.maxDownloadSize) +
                    " a client downloads; make the release smaller");
    }

    // Revocation is judged below, where each cause gets its own message;
    // osslsigncode's own CRL fetching would fold them all into one failure.
    std::string report;
    const std::string& ca = options.ca;
    const std::string anchors = ca.empty() ? "" : " -CAfile " + Quoted(ca) + " -TSA-CAfile " + Quoted(ca);
    const bool ran =
        RunCommand("osslsigncode verify -ignore-crl" + anchors + " -in " + Quoted(path), &report);
    if (options.verbose) std::cout << report;
    // Read with OpenSSL only where a message needs them.
    SignatureFacts facts;
    // A keyed client with FWSTACK_ALLOW_UNSIGNED_RELEASE takes a release
    // that carries no signature at all; one that carries a signature is
    // judged as always.
    const bool unsignedAccepted = options.allowUnsignedRelease &&
                                  (!ran || report.find("\nSignature verification: ok") == std::string::npos) &&
                                  !ReadSignatureFacts(file, options, &facts);
    if (unsignedAccepted) {
        std::cout << "warning: " << name << " carries no Authenticode signature; only clients "
                     "built with the publisher's key and FWSTACK_ALLOW_UNSIGNED_RELEASE accept "
                     "it, and Windows warns about it when it is started from a download\n";
    } else if (!ran || report.find("\nSignature verification: ok") == std::string::npos) {
        if (DigestsMatch(report) && ReadSignatureFacts(file, options, &facts) && facts.intact &&
            facts.untrustedRoot) {
            return Fail(name + " has an intact Authenticode signature, but its certificate "
                        "chain ends in \"" + facts.root + "\", a root this machine does not "
                        "trust; for a test PKI give its root with --ca FILE, or sign the "
                        "release with a publicly trusted code-signing certificate, which is "
                        "what clients on Windows need");
        }
        return Fail(name + " has no valid Authenticode signature; sign it with the "
                    "publisher's code-signing certificate (osslsigncode sign)" +
                    (options.verbose ? "" : "; --verbose shows osslsigncode's report"));
    }
    // osslsigncode passes a signature whose timestamp fails; we do not.
    if (!unsignedAccepted && report.find("Timestamp Server Signature verification: failed") != std::string::npos) {
        return Fail(name + " has a timestamp that does not verify; sign it again with a "
                    "timestamp server whose root is trusted (or in the --ca file)");
    }
    const std::string signer = SignerCommonName(report);
    if (!unsignedAccepted && signer != rules.publisher) {
        return Fail(name + " is signed by \"" + signer + "\", not by \"" + rules.publisher +
                    "\"; sign it with the publisher's certificate");
    }
    if (unsignedAccepted) {
    } else if (options.noRevocation) {
        std::cout << "warning: revocation not checked (--no-revocation); a client on Windows "
                     "checks it and refuses a release whose certificate is revoked or cannot "
                     "be checked\n";
    } else if (int refused = CheckRevocation(name, file, options)) {
        return refused;
    }
    const std::string section = ResourceSection(file);
    Version version;
    if (!VersionFromSection(section, &version)) {
        return Fail(name + " has no readable file version in its version resource; "
                    "build it with fwstack_update_program(), or compile the package's "
                    "share/fwstack_update/fwstack_program.rc into it with windres");
    }
    // The client sees only the file version's three numbers, so a pre-release
    // build would pass for the release it precedes.
    const std::string product = ProductVersionText(section);
    Version named = FreshVersion();
    if (!product.empty() && (!ParseVersion(product.data(), product.size(), &named) ||
                             !IsSameRelease(version, named))) {
        return Fail(name + " is version \"" + product + "\", not the release " +
                    VersionText(version) + "; update documents announce releases only: "
                    "build it with a release version X.Y.Z");
    }
    const bool timestamped = unsignedAccepted ||
        report.find("Timestamp Server Signature verification: ok") != std::string::npos;
    // Without a timestamp the signature is only as good as the signer's
    // certificate: Windows refuses it once the certificate has expired.
    if (!timestamped) {
        ReadSignatureFacts(file, options, &facts);
        const std::string why = name + " has no timestamp: clients accept its signature only "
                                "until the signing certificate expires on " +
                                facts.signerExpires + ", and refuse the release after that; "
                                "sign it with a timestamp server (" +
                                (IsHostRelease(options)
                                     ? "SIGN_TIMESTAMP of fwstack_update_program() in the "
                                       "program's build"
                                     : "FWSTACK_SIGN_TIMESTAMP in fwstack's build") +
                                ", or osslsigncode sign -ts)";
        if (options.requireTimestamp) return Fail(why + " (--require-timestamp)");
        std::cout << "warning: " << why << "\n";
    }
    std::cout << "verified: " << name << ", version " << VersionText(version)
              << (unsignedAccepted ? ", not signed" : ", signed by \"" + signer + "\"")
              << (timestamped && !unsignedAccepted ? ", timestamped" : "") << ", " << file.size()
              << " bytes\n";
    *out = std::move(file);
    *outVersion = version;
    return 0;
}

// verify [CHECKS] RELEASE
int Verify(int argc, char** argv) {
    ToolOptions options;
    const int i = ReadOptions(argc, argv, OptionsOfVerify, &options);
    if (i < 0) return 1;
    if (i == 0 || i + 1 != argc || argv[i][0] == '\0') return Usage();
    std::vector<u8> file;
    Version version;
    return CheckRelease(argv[i], argv[i], options, &file, &version);
}
