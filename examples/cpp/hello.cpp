// hello-cpp: the C++ twin of hello-c, a console program that keeps itself up
// to date. "hello-cpp --version" prints the version, "hello-cpp update"
// updates it. Its identity comes from fwstack_program.h, which
// fwstack_update_program() writes from CMakeLists.txt.
#include <fwstack_update.h>

#include "fwstack_program.h"

#include <iostream>
#include <string>

#ifndef HELLO_OPTIONS
#define HELLO_OPTIONS 0u
#endif

namespace {

fwstack_settings HelloSettings() {
    fwstack_settings settings{};
    settings.size = sizeof settings;
    settings.program_name = FWSTACK_PROGRAM_NAME;
    settings.update_info_address = FWSTACK_PROGRAM_UPDATE_ADDRESS;
    settings.publisher = FWSTACK_PROGRAM_PUBLISHER;
    settings.product_name = FWSTACK_PROGRAM_PRODUCT;
    settings.version_text = FWSTACK_PROGRAM_VERSION;  // as the version resource says
    settings.options = HELLO_OPTIONS;
    return settings;
}

}  // namespace

int main(int argc, char** argv) {
    const fwstack_settings settings = HelloSettings();
    fwstack_cleanup(&settings, nullptr);  // early at every start

    const std::string command = argc == 2 ? argv[1] : "";
    if (command == "--version") {
        std::cout << FWSTACK_PROGRAM_NAME " " FWSTACK_PROGRAM_VERSION "\n";
        return 0;
    }
    if (command == "update") {
        fwstack_result result;
        fwstack_update(&settings, &result);
        (result.exit_code == 0 ? std::cout : std::cerr) << result.report;
        return static_cast<int>(result.exit_code);
    }
    if (argc == 1) {
        std::cout << "Hello from " FWSTACK_PROGRAM_NAME " " FWSTACK_PROGRAM_VERSION "\n";
        return 0;
    }
    std::cerr << "usage: " FWSTACK_PROGRAM_NAME " [--version | update]\n";
    return 2;
}
