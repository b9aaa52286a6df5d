// fwstack-publish publish: the release into the downloads folder, then the
// document that announces it, each written whole before it becomes visible.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "info/update_info.h"
#include "info/update_url.h"
#include "tools/publish/release_tool.h"
#include "verify/sha256.h"

#include <openssl/evp.h>

bool WriteDurably(const std::string& path, const char* bytes, size_t size) {
    const std::string temp = path + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, bytes, size) && fsync(fd) == 0;
    if (close(fd) != 0 || !written) {
        const int error = errno;
        unlink(temp.c_str());
        errno = error;
        return false;
    }
    return rename(temp.c_str(), path.c_str()) == 0;
}

bool SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

// Two publishes at once could both pass the order check against the same
// document, and the later rename would then roll the other back.
FolderLock::~FolderLock() {
    if (fd >= 0) close(fd);
}

int LockFolder(const std::string& folder, FolderLock* lock) {
    lock->fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (lock->fd < 0) {
        // Never created here: a mistyped path would quietly become a folder
        // that no server serves.
        return Fail("cannot open the downloads folder " + folder + ": " + std::strerror(errno) +
                    "; give the folder the server serves, or create it first");
    }
    if (flock(lock->fd, LOCK_EX | LOCK_NB) != 0) {
        return Fail("another fwstack-publish is writing into " + folder +
                    "; run this again when it has ended");
    }
    return 0;
}

namespace {

// Refuses unless version is newer than what the folder's document announces;
// a missing document allows any version. Returns 0 or 1.
int CheckOrder(const std::string& program, const std::string& documentPath, Version version, bool allowLocalHttp, bool force) {
    std::vector<u8> old;
    if (!ReadWholeFile(documentPath, &old)) return 0;
    UpdateInfo info = FreshUpdateInfo();
    if (!ParseUpdateInfo(reinterpret_cast<const char*>(old.data()), old.size(), program.data(),
                         program.size(), allowLocalHttp, &info)) {
        if (force) return 0;
        return Fail(documentPath + " is not a document a client accepts; check it, "
                    "then publish with --force to replace it");
    }
    if (!IsNewerVersion(version, info.version) && !force) {
        return Fail("version " + VersionText(version) + " is not newer than the announced " +
                    VersionText(info.version) + "; publish a newer release, or use --force "
                    "to re-publish or roll back");
    }
    return 0;
}

}  // namespace

int MakeDocument(const std::string& program, const std::string& versionText, const std::string& name, const std::string& url,
                 const std::vector<u8>& release, std::string* document) {
    u8 digest[32];
    Sha256(release.data(), release.size(), digest);
    const UpdateInfoFields fields = {{program.data(), program.size()}, {versionText.data(), versionText.size()},
                                     {name.data(), name.size()}, digest, {url.data(), url.size()}};
    document->assign(url.size() + name.size() + 256, '\0');
    document->resize(FormatUpdateInfo(fields, document->data(), document->size()));
    // The updater must accept what we publish, so check it with its own parser.
    UpdateInfo check = FreshUpdateInfo();
    if (!ParseUpdateInfo(document->data(), document->size(), program.data(), program.size(),
                         AllowsLocalHttp(url), &check)) {
        return Fail("the document would not be accepted by the updater:\n" + *document);
    }
    return 0;
}

// publish [CHECKS] [--force] [--key KEY [--expires WHEN]] RELEASE FOLDER ADDRESS
int Publish(int argc, char** argv) {
    ToolOptions options;
    const int i =
        ReadOptions(argc, argv, OptionsOfVerify | OptionForce | OptionKey | OptionExpires | OptionAllowUnsigned,
                    &options);
    if (i < 0) return 1;
    if (i == 0 || i + 3 != argc) return Usage();
    const std::string releasePath = argv[i];
    const std::string folder = argv[i + 1];
    const std::string base = argv[i + 2];
    if (releasePath.empty() || folder.empty() || base.empty() || base.back() != '/') {
        return Usage();
    }
    // The key first: a token that refuses its PIN should not wait for the
    // release's revocation check to be named.
    SigningKey key;
    i64 expires = 0;
    if (!options.keys.empty()) {
        std::string why;
        key.key = LoadSigningKey(options, &key.pub, &why);
        if (key.key == nullptr) return Fail(why);
        if (int refused = SignedExpiry(options, std::time(nullptr), &expires)) return refused;
    }
    std::vector<u8> file;
    Version version;
    if (int refused = CheckRelease(releasePath, releasePath, options, &file, &version)) {
        return refused;
    }
    // The identity's build and address are the ones this release and this
    // folder must have, or clients of that build never see it.
    if (!options.identity.empty() && options.identityVersion != VersionText(version)) {
        return Fail(releasePath + " is version " + VersionText(version) + ", but " +
                    options.identity + " belongs to a build of " + options.identityVersion +
                    "; give the identity file beside the release");
    }
    if (!options.updateAddress.empty() && base + "latest.txt" != options.updateAddress) {
        return Fail("the program fetches its update document from " + options.updateAddress +
                    ", not from " + base + "latest.txt; give the downloads address that "
                    "UPDATE_ADDRESS lies in");
    }
    FolderLock lock;
    if (int refused = LockFolder(folder, &lock)) return refused;
    const bool allowLocalHttp = AllowsLocalHttp(base);
    const std::string documentPath = PathIn(folder, "latest.txt");
    const std::string program = ReadClientRules(options).program;
    if (int refused = CheckOrder(program, documentPath, version, allowLocalHttp, options.force)) {
        return refused;
    }

    const std::string versionText = VersionText(version);
    const std::string name = program + "-" + versionText + ".exe";
    const std::string url = base + name;
    const std::string infoAddress = base + "latest.txt";
    if (!SameUpdateServer(infoAddress.data(), infoAddress.size(), url.data(), url.size(),
                          allowLocalHttp)) {
        return Fail("a client refuses " + url + " against its update information address " +
                    infoAddress + "; give an https:// downloads address (or http://127.0.0.1 "
                    "for local tests)");
    }
    std::string document;
    if (int refused = MakeDocument(program, versionText, name, url, file, &document)) return refused;
    if (key.key != nullptr) {
        const std::string fiveLines = document;
        std::string why;
        if (!SignDocument(fiveLines, expires, key.key, &document, &why)) return Fail(why);
    }

    // The release first, whole and on disk; only then the document naming it.
    const std::string releaseCopy = PathIn(folder, name);
    if (!WriteDurably(releaseCopy, reinterpret_cast<const char*>(file.data()), file.size()) ||
        !SyncFolder(folder)) {
        return Fail("cannot write " + releaseCopy + ": " + std::strerror(errno) +
                    "; let the publishing account write the folder (the server only reads it)");
    }
    std::cout << "copied: " << releaseCopy << "\n";
    std::cout.flush();
    // A test stops here to show that the old document is still in force.
    if (std::getenv("FWSTACK_PUBLISH_STOP_BEFORE_DOCUMENT") != nullptr) std::abort();
    if (!WriteDurably(documentPath, document.data(), document.size()) || !SyncFolder(folder)) {
        return Fail("cannot write " + documentPath + "; the previous document stays in force");
    }
    std::cout << "published: " << documentPath << " announces " << versionText;
    if (key.key != nullptr) {
        std::cout << ", signed by key " << KeyHex(key.pub).substr(0, 16) << "..., expires "
                  << FormatExpires(expires) << "; refresh it before then";
    }
    std::cout << "\n";
    return 0;
}
