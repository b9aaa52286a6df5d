// fwstack-publish keygen, pubkey and refresh: making the publisher's own key,
// showing its public half, and signing the current document again before its
// expiry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include "info/update_info.h"
#include "tools/publish/release_tool.h"

int SignedExpiry(const ToolOptions& options, i64 now, i64* out) {
    if (options.expires.empty()) {
        *out = now + 28 * 86400;
        return 0;
    }
    if (!ParseExpiresOption(options.expires, now, out)) {
        return Fail("--expires " + options.expires + " is neither a duration (30d, 12h, 90m) "
                    "nor a UTC time YYYY-MM-DDTHH:MM:SSZ");
    }
    if (*out <= now) {
        return Fail("--expires " + options.expires + " is not in the future; clients would "
                    "refuse the document at once: give a later time");
    }
    return 0;
}

int RefuseTail(const std::string& what, TailVerdict verdict, i64 expires) {
    switch (verdict) {
        case TailMalformed:
            return Fail(what + " carries no signed tail a keyed client reads (an expires line "
                        "and a signature line after the five lines, and nothing more); keyed "
                        "clients refuse it with \"the update information is not signed by the "
                        "publisher\": publish or refresh it with --key");
        case TailWrongKey:
            return Fail(what + " is not signed by the given key; keyed clients refuse it with "
                        "\"the update information is not signed by the publisher\": sign it "
                        "with the key the clients trust (fwstack-publish refresh --key), or "
                        "give that key's public half");
        case TailExpired:
            return Fail(what + " expired at " + FormatExpires(expires) + "; keyed clients refuse "
                        "it with \"the update information has expired\": run fwstack-publish "
                        "refresh --key on the downloads folder");
        case TailGood:
            break;
    }
    return 0;
}

namespace {

void PrintPublicKey(const PublisherKey& pub) {
    std::cout << "The public key, for the program's settings (fwstack_settings.publisher_key):\n"
              << KeyInitializer(pub) << "\n"
              << "As hex (fwstack-publish check --key):\n"
              << KeyHex(pub) << "\n";
}

}  // namespace

// keygen FILE
int Keygen(int argc, char** argv) {
    if (argc != 3 || argv[2][0] == '\0' || argv[2][0] == '-') return Usage();
    const std::string path = argv[2];
    EVP_PKEY* key = EVP_EC_gen("P-256");
    std::string why;
    BIO* pem = BIO_new(BIO_s_mem());
    char* bytes = nullptr;
    long size = 0;
    if (key == nullptr || pem == nullptr ||
        PEM_write_bio_PrivateKey(pem, key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        (size = BIO_get_mem_data(pem, &bytes)) <= 0) {
        EVP_PKEY_free(key);
        BIO_free(pem);
        return Fail("OpenSSL could not make a P-256 key");
    }
    // Readable by its owner alone from the first byte, and never over an
    // existing key: that one may be the key the clients trust.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        const int error = errno;
        EVP_PKEY_free(key);
        BIO_free(pem);
        if (error == EEXIST) {
            return Fail(path + " already exists; keygen never overwrites a key (clients may "
                        "trust it): give a new file name, or remove the old key yourself");
        }
        return Fail("cannot create " + path + ": " + std::strerror(error) +
                    "; give a file in a folder you can write");
    }
    const bool written = fchmod(fd, 0600) == 0 && WriteAll(fd, bytes, static_cast<size_t>(size)) &&
                         fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    BIO_free(pem);
    ToolOptions options;
    options.keys.push_back(path);
    EVP_PKEY_free(key);
    if (!written || !closed) {
        unlink(path.c_str());
        return Fail("cannot write " + path + ": " + std::strerror(errno));
    }
    // Read back as publish reads it, so what is printed is what signs.
    SigningKey loaded;
    loaded.key = LoadSigningKey(options, &loaded.pub, &why);
    if (loaded.key == nullptr) return Fail(why);
    std::cout << "wrote " << path << " (mode 0600); keep it secret and backed up.\n";
    PrintPublicKey(loaded.pub);
    return 0;
}

// pubkey --key KEY [--pkcs11-module FILE] [--pin-file FILE]
int ShowPublicKey(int argc, char** argv) {
    ToolOptions options;
    const int i = ReadOptions(argc, argv, OptionKey, &options);
    if (i < 0) return 1;
    if (i == 0 || i != argc || options.keys.empty()) return Usage();
    PublisherKey pub = {};
    std::string why;
    if (options.keys[0].rfind("pkcs11:", 0) == 0) {
        SigningKey loaded;
        loaded.key = LoadSigningKey(options, &loaded.pub, &why);
        if (loaded.key == nullptr) return Fail(why);
        pub = loaded.pub;
    } else if (!ReadPublicKey(options.keys[0], &pub, &why)) {
        return Fail(why);
    }
    PrintPublicKey(pub);
    return 0;
}

// refresh [IDENTITY] [--force] SIGNING FOLDER|DOCUMENT
int Refresh(int argc, char** argv) {
    ToolOptions options;
    const int i = ReadOptions(argc, argv, OptionKey | OptionExpires | OptionForce, &options);
    if (i < 0) return 1;
    if (i == 0 || i + 1 != argc || argv[i][0] == '\0' || options.keys.empty()) return Usage();
    const std::string target = argv[i];
    struct stat about {};
    const bool isFolder = stat(target.c_str(), &about) == 0 && S_ISDIR(about.st_mode);
    const size_t slash = target.find_last_of('/');
    const std::string folder =
        isFolder ? target : slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string documentPath = isFolder ? PathIn(folder, "latest.txt") : target;

    SigningKey key;
    std::string why;
    key.key = LoadSigningKey(options, &key.pub, &why);
    if (key.key == nullptr) return Fail(why);
    const i64 now = static_cast<i64>(std::time(nullptr));
    i64 expires = 0;
    if (int refused = SignedExpiry(options, now, &expires)) return refused;

    FolderLock lock;
    if (int refused = LockFolder(folder, &lock)) return refused;
    std::vector<u8> bytes;
    if (!ReadWholeFile(documentPath, &bytes)) {
        return Fail("cannot open " + documentPath + "; publish a release into the folder first "
                    "(fwstack-publish publish --key)");
    }
    const std::string old(bytes.begin(), bytes.end());
    const std::string program = ReadClientRules(options).program;
    UpdateInfo info = FreshUpdateInfo();
    // http://127.0.0.1 is what local tests publish; publish refused anything
    // else a client would not fetch.
    if (!ParseUpdateInfo(old.data(), old.size(), program.data(), program.size(), true, &info)) {
        return Fail(documentPath + " is not a document a client of " + program + " accepts; "
                    "refresh signs only what publish wrote: publish the release again");
    }
    const size_t fiveEnd = static_cast<size_t>(info.url.end) + 1;
    // Signing whatever lies in the folder would lend the key to anyone who
    // could write there: only a document this key signed is signed again.
    i64 oldExpires = 0;
    size_t which = 0;
    const TailVerdict verdict = VerifyTail(old, fiveEnd, {key.pub}, now, &oldExpires, &which);
    if (verdict != TailGood && verdict != TailExpired && !options.force) {
        return Fail(documentPath + (verdict == TailMalformed ? " is not signed" :
                                    " is signed by another key") +
                    "; refresh signs again only what this key signed, so that a document "
                    "changed on the server is not signed on its behalf: check its five lines "
                    "(fwstack-publish check), then refresh with --force, or publish the "
                    "release again with --key");
    }
    std::string document;
    if (!SignDocument(old.substr(0, fiveEnd), expires, key.key, &document, &why)) return Fail(why);
    if (!WriteDurably(documentPath, document.data(), document.size()) || !SyncFolder(folder)) {
        return Fail("cannot write " + documentPath + ": " + std::strerror(errno) +
                    "; the previous document stays in force");
    }
    std::cout << "refreshed: " << documentPath << " announces "
              << old.substr(info.versionText.start, info.versionText.end - info.versionText.start)
              << ", expires " << FormatExpires(expires)
              << (verdict == TailExpired ? " (it had expired at " + FormatExpires(oldExpires) + ")"
                                         : "")
              << "\n";
    return 0;
}
