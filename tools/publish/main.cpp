// fwstack-publish: verifies, publishes and checks releases of fwstack, or of
// another program given by its identity options.
#include <fstream>
#include <iostream>

#include "info/update_info.h"
#include "tools/publish/release_tool.h"

namespace {

bool IsHelp(const std::string& argument) {
    return argument == "--help" || argument == "-h";
}

// [--program NAME] <release file> <downloads address> [output file]: the
// document for a release, on standard output or into the output file.
int WriteDocumentOnly(int argc, char** argv) {
    ToolOptions options;
    const int i = ReadOptions(argc, argv, 0, &options, 1);
    if (i < 0) return 1;
    if (i == 0 || argc - i < 2 || argc - i > 3) return Usage();
    const std::string releasePath = argv[i];
    const std::string base = argv[i + 1];
    if (releasePath.empty() || base.empty() || base.back() != '/') return Usage();
    const char* output = argc - i == 3 ? argv[i + 2] : nullptr;
    if (output != nullptr && output[0] == '\0') return Usage();

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
    if (int refused = MakeDocument(ReadClientRules(options).program, VersionText(version), name, base + name, file, &document)) {
        return refused;
    }
    if (output != nullptr) {
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        out << document;
        out.close();
        if (!out) return Fail(std::string("cannot write ") + output);
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
    if (command == "keygen") return Keygen(argc, argv);
    if (command == "pubkey") return ShowPublicKey(argc, argv);
    if (command == "refresh") return Refresh(argc, argv);
    return WriteDocumentOnly(argc, argv);
}
