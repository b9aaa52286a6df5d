// fwstack-publish: usage, messages, options and the client's rules.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <iterator>

#include "engine/settings.h"
#include "info/version.h"
#include "info/update_info.h"
#include "tools/publish/release_tool.h"

const char UsageText[] =
    "usage: fwstack-publish verify [CHECKS] <release.exe>\n"
    "       fwstack-publish publish [CHECKS] [--force] [SIGNING] <release.exe> <downloads folder>"
    " <downloads address ending in />\n"
    "       fwstack-publish check [CHECKS] [--installed X.Y.Z] [--key KEY]..."
    " [--allow-unsigned-release] <update information address | document file | downloads folder>\n"
    "       fwstack-publish keygen <private key file>\n"
    "       fwstack-publish pubkey --key KEY|pkcs11:URI [--pkcs11-module FILE] [--pin-file FILE]\n"
    "       fwstack-publish refresh [IDENTITY] [--force] SIGNING <downloads folder | document file>\n"
    "       fwstack-publish [IDENTITY] <release.exe> <downloads address ending in />"
    " [document file]\n"
    "\n"
    "verify   checks a release as a client will: its Authenticode signature, the signer\n"
    "         (the publisher the program checks), a release version in its version\n"
    "         resource and a size within the client's download limit.\n"
    "publish  verifies the release, refuses a version that is not newer than the one the\n"
    "         folder's latest.txt announces (--force allows it), copies the release as\n"
    "         NAME-X.Y.Z.exe and only then replaces latest.txt, atomically.\n"
    "check    does what a client does against a live server: the document, the same-server\n"
    "         rule, the version order against --installed, the release, its SHA-256 and\n"
    "         its signature; prints each step and warns when the document may be cached.\n"
    "         With --key, also the signed tail as a keyed client verifies it; it warns when\n"
    "         the document expires within 7 days. A file or folder instead of an address\n"
    "         checks that document alone, offline. KEY: the 128 hex digits keygen printed,\n"
    "         or a PEM key file; twice for a client that trusts two keys. With a key,\n"
    "         --allow-unsigned-release takes a release without Authenticode, as a client\n"
    "         built with FWSTACK_ALLOW_UNSIGNED_RELEASE does.\n"
    "keygen   writes a new ECDSA P-256 private key (PEM, mode 0600, never over a file) and\n"
    "         prints its public key for the program's publisher_key setting.\n"
    "pubkey   prints the public key of a key file, of hex digits, or of a key in a token.\n"
    "refresh  signs the folder's document again with a new expiry, its five lines\n"
    "         unchanged; it refuses a document that this key did not sign (--force signs\n"
    "         one that is unsigned or signed by another key, after you have checked it).\n"
    "SIGNING: --key FILE|pkcs11:URI [--pkcs11-module FILE] [--pin-file FILE]\n"
    "         [--expires 30d|12h|YYYY-MM-DDTHH:MM:SSZ]: the publisher's own key signs the\n"
    "         document, valid until the expiry (default 28 days); keyed clients refuse it\n"
    "         unsigned, signed by another key, or expired. publish --allow-unsigned-release\n"
    "         also takes a release without Authenticode, for clients built with the key\n"
    "         and FWSTACK_ALLOW_UNSIGNED_RELEASE.\n"
    "The last form prints (or writes) the update document for a release.\n"
    "IDENTITY, taken by every form: [--program NAME] [--publisher TEXT] [--product TEXT]:\n"
    "the program name (the document's first key; releases are NAME-X.Y.Z.exe), the\n"
    "signer's common name a release must have, and the product name a client sends;\n"
    "by default those of this build's fwstack. Or --identity FILE: the <program>.exe.identity\n"
    "file that fwstack_update_program() writes beside a build, which also gives the\n"
    "build's version and update address: publish then refuses a release of another\n"
    "version or a downloads address the program does not fetch from, and check takes\n"
    "the program's update address when none is given.\n"
    "CHECKS: [IDENTITY] [--ca FILE] [--crl FILE]... [--no-revocation] [--require-timestamp]\n"
    "        [--verbose]\n"
    "--ca FILE names the trust anchors when they are not in the system's store: of the\n"
    "signature, of its timestamp and, for check, of the server's TLS certificate.\n"
    "Every certificate of the signer's chain below its root must name a CRL and not be\n"
    "revoked, as a client on Windows checks; the CRLs are fetched from the addresses the\n"
    "certificates name, or --crl FILE (PEM or DER, repeatable) gives them offline.\n"
    "--no-revocation skips that check, with a warning. --verbose shows osslsigncode's report.\n"
    "A signature without a timestamp is accepted by clients only until the signing\n"
    "certificate expires: it is verified with a warning naming that date, or refused\n"
    "with --require-timestamp.\n"
    "Exit codes: 0 success, 1 refused or failed, 2 usage error.\n";

int Usage() {
    std::cerr << UsageText;
    return 2;
}

int Fail(const std::string& message) {
    std::cerr << "fwstack-publish: " << message << "\n";
    return 1;
}

ClientRules ReadClientRules(const ToolOptions& options) {
    UpdateSettings settings = {};
    MakeUpdateSettings(Text{nullptr, 0}, &settings);
    ClientRules rules;
    rules.program.assign(settings.programName.bytes, settings.programName.length);
    rules.publisher.assign(settings.publisher.bytes, settings.publisher.length);
    rules.userAgent.assign(settings.productName.bytes, settings.productName.length);
    if (!options.program.empty()) rules.program = options.program;
    if (!options.publisher.empty()) rules.publisher = options.publisher;
    if (!options.product.empty()) rules.userAgent = options.product;
    rules.maxDownloadSize =
        settings.maxDownloadSize != 0 ? settings.maxDownloadSize : DefaultMaxDownloadSize;
    return rules;
}

namespace {

// Reads an identity file: "program", "version", "publisher" and "product"
// lines, and an optional "update_address" one, each "key value". Returns
// the empty text, or what is wrong with it.
std::string ReadIdentity(const std::string& path, ToolOptions* out) {
    std::vector<u8> bytes;
    if (!ReadWholeFile(path, &bytes)) {
        return "cannot open the identity file " + path + "; give the <program>.exe.identity "
               "file that fwstack_update_program() writes beside the program";
    }
    const std::string text(bytes.begin(), bytes.end());
    std::string* const fields[] = {&out->program, &out->identityVersion, &out->publisher,
                                   &out->product, &out->updateAddress};
    const char* const keys[] = {"program", "version", "publisher", "product", "update_address"};
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t blank = line.find(' ');
        bool known = false;
        for (size_t k = 0; k < 5 && blank != std::string::npos; ++k) {
            if (line.compare(0, blank, keys[k]) == 0 && fields[k]->empty()) {
                *fields[k] = line.substr(blank + 1);
                known = !fields[k]->empty();
            }
        }
        if (!known) {
            return path + " is not an identity file: the line \"" + line + "\" is not one of "
                   "program, version, publisher, product, update_address with its value; "
                   "build the program again to write it anew";
        }
    }
    for (size_t k = 0; k < 4; ++k) {
        if (fields[k]->empty()) {
            return path + " names no " + keys[k] + "; build the program again to write it anew";
        }
    }
    Version version;
    if (!ParseVersion(out->identityVersion.data(), out->identityVersion.size(), &version)) {
        return path + " names the version \"" + out->identityVersion + "\", which is not X.Y.Z";
    }
    return {};
}

}  // namespace

bool IsHostRelease(const ToolOptions& options) {
    return !options.identity.empty() || !options.program.empty();
}

std::string PathIn(const std::string& folder, const std::string& name) {
    size_t n = folder.size();
    while (n > 1 && folder[n - 1] == '/') --n;
    return folder.substr(0, n) + (n == 1 && folder[0] == '/' ? "" : "/") + name;
}

int ReadOptions(int argc, char** argv, u32 allowed, ToolOptions* out, int first) {
    int i = first;
    while (i < argc && std::string(argv[i]).rfind("--", 0) == 0) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc && argv[i + 1][0] != '\0';
        if (option == "--ca" && (allowed & OptionCa) && hasValue) {
            out->ca = argv[i + 1];
            i += 2;
        } else if (option == "--identity" && hasValue && out->identity.empty()) {
            out->identity = argv[i + 1];
            i += 2;
        } else if (option == "--program" && hasValue) {
            out->program = argv[i + 1];
            i += 2;
        } else if (option == "--publisher" && hasValue) {
            out->publisher = argv[i + 1];
            i += 2;
        } else if (option == "--product" && hasValue) {
            out->product = argv[i + 1];
            i += 2;
        } else if (option == "--installed" && (allowed & OptionInstalled) && hasValue) {
            out->installed = argv[i + 1];
            i += 2;
        } else if (option == "--crl" && (allowed & OptionCrl) && hasValue) {
            out->crls.push_back(argv[i + 1]);
            i += 2;
        } else if (option == "--key" && (allowed & OptionKey) && hasValue &&
                   out->keys.size() < ((allowed & OptionTwoKeys) ? 2u : 1u)) {
            out->keys.push_back(argv[i + 1]);
            i += 2;
        } else if (option == "--expires" && (allowed & OptionExpires) && hasValue &&
                   out->expires.empty()) {
            out->expires = argv[i + 1];
            i += 2;
        } else if (option == "--pkcs11-module" && (allowed & OptionKey) && hasValue) {
            out->pkcs11Module = argv[i + 1];
            i += 2;
        } else if (option == "--pin-file" && (allowed & OptionKey) && hasValue) {
            out->pinFile = argv[i + 1];
            i += 2;
        } else if (option == "--allow-unsigned-release" && (allowed & OptionAllowUnsigned)) {
            out->allowUnsignedRelease = true;
            ++i;
        } else if (option == "--force" && (allowed & OptionForce)) {
            out->force = true;
            ++i;
        } else if (option == "--no-revocation" && (allowed & OptionNoRevocation)) {
            out->noRevocation = true;
            ++i;
        } else if (option == "--verbose" && (allowed & OptionVerbose)) {
            out->verbose = true;
            ++i;
        } else if (option == "--require-timestamp" && (allowed & OptionRequireTimestamp)) {
            out->requireTimestamp = true;
            ++i;
        } else {
            return 0;
        }
    }
    if (!out->identity.empty()) {
        // One identity: the file's, or the options', never a mix of both.
        if (!out->program.empty() || !out->publisher.empty() || !out->product.empty()) return 0;
        const std::string wrong = ReadIdentity(out->identity, out);
        if (!wrong.empty()) {
            Fail(wrong);
            return -1;
        }
    }
    // The program name is the document's first key and begins the release's
    // file name, so it holds only the bytes a file name may.
    for (char c : out->program) {
        if (!IsNameByte(static_cast<u8>(c))) return 0;
    }
    // The expiry and the token's settings belong to a key that signs.
    if ((!out->expires.empty() || !out->pkcs11Module.empty() || !out->pinFile.empty() ||
         out->allowUnsignedRelease) &&
        out->keys.empty()) {
        return 0;
    }
    return out->noRevocation && !out->crls.empty() ? 0 : i;
}

std::string VersionText(Version v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

bool AllowsLocalHttp(const std::string& address) {
    return address.rfind("http://127.0.0.1", 0) == 0;
}

bool ReadWholeFile(const std::string& path, std::vector<u8>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool WriteAll(int fd, const char* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
