// What the benchmark hosts share: their ASCII arguments narrowed, and
// fwstack 0.0.2's settings on the public interface.
#pragma once

#include <string>

#include "api/fwstack_update.h"

inline std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

// The settings of fwstack 0.0.2 reading the update information at address,
// which must outlive them.
inline fwstack_settings BenchSettings(const std::string& address) {
    fwstack_settings settings = {};
    settings.size = sizeof settings;
    settings.program_name = "fwstack";
    settings.update_info_address = address.c_str();
    settings.publisher = "Kelvardo s.r.o.";
    settings.product_name = "Ferrowstack";
    settings.version_text = "0.0.2";
    return settings;
}
