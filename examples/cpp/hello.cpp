// hello-cpp: the C++ twin of hello-c, a console program that keeps itself up
// to date. "hello-cpp --version" prints the version, "hello-cpp update"
// updates it. HELLO_VERSION and HELLO_UPDATE_ADDRESS come from the build.
#include <fwstack_update.h>

#include <iostream>
#include <string>

#ifndef HELLO_OPTIONS
#define HELLO_OPTIONS 0u
#endif

namespace {

fwstack_settings HelloSettings() {
    fwstack_settings settings{};
    settings.program_name = "hello-cpp";
    settings.update_info_address = HELLO_UPDATE_ADDRESS;
    settings.publisher = "Example Tools Ltd.";
    settings.product_name = "Hello C++";
    settings.version_text = HELLO_VERSION;  // as the version resource says
    settings.options = HELLO_OPTIONS;
    return settings;
}

}  // namespace

int main(int argc, char** argv) {
    const fwstack_settings settings = HelloSettings();
    fwstack_cleanup(&settings, nullptr);  // early at every start

    const std::string command = argc == 2 ? argv[1] : "";
    if (command == "--version") {
        std::cout << "hello-cpp " << HELLO_VERSION << '\n';
        return 0;
    }
    if (command == "update") {
        fwstack_result result;
        fwstack_update(&settings, &result);
        (result.exit_code == 0 ? std::cout : std::cerr) << result.report;
        return static_cast<int>(result.exit_code);
    }
    if (argc == 1) {
        std::cout << "Hello from hello-cpp " << HELLO_VERSION << '\n';
        return 0;
    }
    std::cerr << "usage: hello-cpp [--version | update]\n";
    return 2;
}
