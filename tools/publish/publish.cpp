// fwstack-publish: writes the update information document for a release file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "base/types.h"
#include "engine/settings.h"
#include "info/update_info.h"
#include "info/update_url.h"
#include "info/version.h"
#include "verify/pe_scan.h"
#include "verify/sha256.h"

namespace {

constexpr char ProgramName[] = "fwstack";

int Usage() {
    std::cerr << "usage: fwstack-publish <release file> <downloads base address ending in />"
                 " [output file]\n"
                 "       fwstack-publish verify [--ca <CA file>] <release file>\n"
                 "       fwstack-publish publish [--ca <CA file>] [--force] <release file>"
                 " <downloads folder> <downloads address ending in />\n";
    return 2;
}

int Fail(const std::string& message) {
    std::cerr << "fwstack-publish: " << message << "\n";
    return 1;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The file version as the updater reads it: headers from the first 4096
// bytes, the same section size limit, the scan over what the file holds.
bool ReadReleaseVersion(const std::vector<u8>& file, Version* out) {
    *out = FreshVersion();
    u64 headCount = file.size() < PeHeadBytes ? file.size() : PeHeadBytes;
    u32 size = 0;
    u32 pointer = 0;
    if (!LocateResourceSection(file.data(), headCount, &size, &pointer)) return false;
    if (size == 0 || size > MaxResourceSection) return false;
    if (pointer >= file.size()) return false;
    u64 got = file.size() - pointer;
    if (got > size) got = size;
    u32 ms = 0;
    u32 ls = 0;
    if (!ScanFixedFileInfo(file.data() + pointer, got, &ms, &ls)) return false;
    *out = VersionFromWords(ms, ls);
    return true;
}

std::string VersionText(Version v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
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

// What a client checks of a release before it installs it, with the
// publisher and download cap of this program; 0 or 1, as the exit code.
int CheckRelease(const std::string& releasePath, const std::string& ca, std::vector<u8>* out,
                 Version* outVersion) {

    UpdateSettings settings = {};
    MakeUpdateSettings(Text{nullptr, 0}, &settings);
    const std::string publisher(settings.publisher.bytes, settings.publisher.length);
    const u64 cap = settings.maxDownloadSize != 0 ? settings.maxDownloadSize : DefaultMaxDownloadSize;

    std::ifstream in(releasePath, std::ios::binary);
    if (!in) return Fail("cannot open " + releasePath + "; give the path of a release file");
    std::vector<u8> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return Fail("cannot read " + releasePath);
    if (file.size() > cap) {
        return Fail(releasePath + " has " + std::to_string(file.size()) +
                    " bytes, more than the " + std::to_string(cap) +
                    " a client downloads; make the release smaller");
    }

    std::string report;
    const std::string command = "osslsigncode verify" + (ca.empty() ? "" : " -CAfile " + Quoted(ca)) +
                                " -in " + Quoted(releasePath);
    const bool ran = RunCommand(command, &report);
    if (!ran || report.find("\nSignature verification: ok") == std::string::npos) {
        return Fail(releasePath + " has no valid Authenticode signature; sign it with the "
                    "publisher's code-signing certificate (osslsigncode sign)\n" + report);
    }
    const std::string signer = SignerCommonName(report);
    if (signer != publisher) {
        return Fail(releasePath + " is signed by \"" + signer + "\", not by \"" + publisher +
                    "\"; sign it with the publisher's certificate");
    }
    Version version;
    if (!ReadReleaseVersion(file, &version)) {
        return Fail(releasePath + " has no readable file version in its version resource; "
                    "build it with the program's version resource");
    }
    std::cout << "verified: " << releasePath << ", version " << VersionText(version)
              << ", signed by \"" << signer << "\", " << file.size() << " bytes\n";
    *out = std::move(file);
    *outVersion = version;
    return 0;
}

// The options before the positional arguments: --ca FILE and, when allowed,
// --force; returns the index of the first positional argument or 0 on misuse.
int ReadOptions(int argc, char** argv, bool allowForce, std::string* ca, bool* force) {
    int i = 2;
    while (i < argc && std::string(argv[i]).rfind("--", 0) == 0) {
        const std::string option = argv[i];
        if (option == "--ca" && i + 1 < argc && argv[i + 1][0] != '\0') {
            *ca = argv[i + 1];
            i += 2;
        } else if (option == "--force" && allowForce) {
            *force = true;
            ++i;
        } else {
            return 0;
        }
    }
    return i;
}

// verify [--ca FILE] RELEASE
int Verify(int argc, char** argv) {
    std::string ca;
    bool force = false;
    const int i = ReadOptions(argc, argv, false, &ca, &force);
    if (i == 0 || i + 1 != argc || argv[i][0] == '\0') return Usage();
    std::vector<u8> file;
    Version version;
    return CheckRelease(argv[i], ca, &file, &version);
}

// Writes bytes to path through path + ".tmp": written, flushed to disk, then
// renamed over path, so that readers see the old file or the whole new one.
bool WriteDurably(const std::string& path, const char* bytes, size_t size) {
    const std::string temp = path + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool written = done == size && fsync(fd) == 0;
    if (close(fd) != 0 || !written) {
        unlink(temp.c_str());
        return false;
    }
    return rename(temp.c_str(), path.c_str()) == 0;
}

// Flushes the folder's entries, so that a rename survives a power loss.
bool SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

// publish [--ca FILE] [--force] RELEASE FOLDER ADDRESS
int Publish(int argc, char** argv) {
    std::string ca;
    bool force = false;
    const int i = ReadOptions(argc, argv, true, &ca, &force);
    if (i == 0 || i + 3 != argc) return Usage();
    const std::string releasePath = argv[i];
    const std::string folder = argv[i + 1];
    const std::string base = argv[i + 2];
    if (releasePath.empty() || folder.empty() || base.empty() || base.back() != '/') {
        return Usage();
    }
    std::vector<u8> file;
    Version version;
    if (int refused = CheckRelease(releasePath, ca, &file, &version)) return refused;

    const bool allowLocalHttp = StartsWith(base, "http://127.0.0.1");
    const std::string documentPath = folder + "/latest.txt";
    std::ifstream current(documentPath, std::ios::binary);
    if (current) {
        const std::string old((std::istreambuf_iterator<char>(current)),
                              std::istreambuf_iterator<char>());
        UpdateInfo info = FreshUpdateInfo();
        if (!ParseUpdateInfo(old.data(), old.size(), ProgramName, sizeof ProgramName - 1,
                             allowLocalHttp, &info)) {
            if (!force) {
                return Fail(documentPath + " is not a document a client accepts; check it, "
                            "then publish with --force to replace it");
            }
        } else if (!IsNewerVersion(version, info.version) && !force) {
            return Fail("version " + VersionText(version) + " is not newer than the announced " +
                        VersionText(info.version) + "; publish a newer release, or use --force "
                        "to re-publish or roll back");
        }
    }

    const std::string name = "fwstack-" + VersionText(version) + ".exe";
    const std::string url = base + name;
    UpdateSettings settings = {};
    MakeUpdateSettings(Text{nullptr, 0}, &settings);
    const std::string infoAddress = base + "latest.txt";
    if (!SameUpdateServer(infoAddress.data(), infoAddress.size(), url.data(), url.size(),
                          allowLocalHttp)) {
        return Fail("a client refuses " + url + " against its update information address " +
                    infoAddress + "; give an https:// downloads address (or http://127.0.0.1 "
                    "for local tests)");
    }
    u8 digest[32];
    Sha256(file.data(), file.size(), digest);
    const std::string versionText = VersionText(version);
    const UpdateInfoFields fields = {TextOf(ProgramName), {versionText.data(), versionText.size()},
                                     {name.data(), name.size()}, digest, {url.data(), url.size()}};
    std::string document(url.size() + name.size() + 256, '\0');
    document.resize(FormatUpdateInfo(fields, document.data(), document.size()));
    UpdateInfo check = FreshUpdateInfo();
    if (!ParseUpdateInfo(document.data(), document.size(), ProgramName, sizeof ProgramName - 1,
                         allowLocalHttp, &check)) {
        return Fail("the document would not be accepted by the updater:\n" + document);
    }

    // The release first, whole and on disk; only then the document naming it.
    if (!WriteDurably(folder + "/" + name, reinterpret_cast<const char*>(file.data()),
                      file.size()) ||
        !SyncFolder(folder)) {
        return Fail("cannot write " + folder + "/" + name + "; check the folder and its rights");
    }
    std::cout << "copied: " << folder << "/" << name << "\n";
    std::cout.flush();
    // A test stops here to show that the old document is still in force.
    if (std::getenv("FWSTACK_PUBLISH_STOP_BEFORE_DOCUMENT") != nullptr) std::abort();
    if (!WriteDurably(documentPath, document.data(), document.size()) || !SyncFolder(folder)) {
        return Fail("cannot write " + documentPath + "; the previous document stays in force");
    }
    std::cout << "published: " << documentPath << " announces " << versionText << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "verify") return Verify(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "publish") return Publish(argc, argv);
    if (argc < 3 || argc > 4) return Usage();
    std::string releasePath = argv[1];
    std::string base = argv[2];
    if (releasePath.empty() || base.empty() || base.back() != '/') return Usage();
    if (argc == 4 && std::string(argv[3]).empty()) return Usage();

    std::ifstream in(releasePath, std::ios::binary);
    if (!in) return Fail("cannot open " + releasePath);
    std::vector<u8> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return Fail("cannot read " + releasePath);

    size_t slash = releasePath.find_last_of('/');
    std::string name = slash == std::string::npos ? releasePath : releasePath.substr(slash + 1);
    if (!IsFileName(name.data(), name.size())) {
        return Fail("the file name \"" + name + "\" is not a valid release name");
    }

    Version version;
    if (!ReadReleaseVersion(file, &version)) {
        return Fail(releasePath + " has no readable file version in its version resource");
    }

    u8 digest[32];
    Sha256(file.data(), file.size(), digest);

    const std::string versionText = VersionText(version);
    const std::string url = base + name;
    const UpdateInfoFields fields = {TextOf(ProgramName), {versionText.data(), versionText.size()},
                                     {name.data(), name.size()}, digest, {url.data(), url.size()}};
    std::string document(url.size() + name.size() + 256, '\0');
    document.resize(FormatUpdateInfo(fields, document.data(), document.size()));

    // The updater must accept what we publish, so check it with its own parser.
    bool allowLocalHttp = StartsWith(base, "http://127.0.0.1");
    UpdateInfo info = FreshUpdateInfo();
    if (!ParseUpdateInfo(document.data(), document.size(), ProgramName, sizeof ProgramName - 1,
                         allowLocalHttp, &info)) {
        return Fail("the document would not be accepted by the updater:\n" + document);
    }

    if (argc == 4) {
        std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
        out << document;
        out.close();
        if (!out) return Fail(std::string("cannot write ") + argv[3]);
    } else {
        std::cout << document;
        std::cout.flush();
        if (!std::cout) return Fail("cannot write the document to standard output");
    }
    return 0;
}
