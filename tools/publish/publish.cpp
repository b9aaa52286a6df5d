// fwstack-publish: writes the update information document for a release file.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "info/update_info.h"
#include "info/version.h"
#include "verify/pe_scan.h"
#include "verify/sha256.h"

namespace {

constexpr char ProgramName[] = "fwstack";

int Usage() {
    std::cerr << "usage: fwstack-publish <release file> <downloads base address ending in />"
                 " [output file]\n";
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

}  // namespace

int main(int argc, char** argv) {
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
