// fwstack-publish: verifies, publishes and checks releases of fwstack.
#include <fstream>
#include <iostream>

#include "info/update_info.h"
#include "tools/publish/release_tool.h"

namespace {

bool IsHelp(const std::string& argument) {
    return argument == "--help" || argument == "-h";
}

// <release file> <downloads address> [output file]: the document for a
// release, on standard output or into the output file.
int WriteDocumentOnly(int argc, char** argv) {
    if (argc < 3 || argc > 4) return Usage();
    const std::string releasePath = argv[1];
    const std::string base = argv[2];
    if (releasePath.empty() || base.empty() || base.back() != '/') return Usage();
    if (argc == 4 && std::string(argv[3]).empty()) return Usage();

    std::vector<u8> file;
    if (!ReadWholeFile(releasePath, &file)) return Fail("cannot open " + releasePath);
    const size_t slash = releasePath.find_last_of('/');
    const std::string name = slash == std::string::npos ? releasePath : releasePath.substr(slash + 1);
    if (!IsFileName(name.data(), name.size())) {
        return Fail("the file name \"" + name + "\" is not a valid release name");
    }
    Version version;
    if (!ReadReleaseVersion(file, &version)) {
        return Fail(releasePath + " has no readable file version in its version resource");
    }
    std::string document;
    if (int refused = MakeDocument(VersionText(version), name, base + name, file, &document)) {
        return refused;
    }
    if (argc == 4) {
        std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
        out << document;
        out.close();
        if (!out) return Fail(std::string("cannot write ") + argv[3]);
        return 0;
    }
    std::cout << document;
    std::cout.flush();
    if (!std::cout) return Fail("cannot write the document to standard output");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc >= 2 ? argv[1] : "";
    for (int i = 1; i < argc; ++i) {
        if (IsHelp(argv[i]) || command == "help") {
            std::cout << UsageText;
            return 0;
        }
    }
    if (command == "verify") return Verify(argc, argv);
    if (command == "publish") return Publish(argc, argv);
    if (command == "check") return Check(argc, argv);
    return WriteDocumentOnly(argc, argv);
}
