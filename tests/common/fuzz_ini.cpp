// libFuzzer target: parse arbitrary bytes as config.ini, read every value in every type, and
// check that what the writer produces parses back to the same values.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/ini.h"

using vantrel::common::IniError;
using vantrel::common::IniFile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    IniFile ini;
    try {
        ini = IniFile::read_text(text, "fuzz.ini");
    } catch (const IniError&) {
        return 0;
    }
    for (const std::string& section : ini.sections()) {
        for (const std::string& key : ini.options(section)) {
            try {
                (void)ini.get(section, key);
                (void)ini.get_int(section, key, 0);
            } catch (const IniError&) {
            }
            try {
                (void)ini.get_real(section, key, 0.0);
            } catch (const IniError&) {
            }
            try {
                (void)ini.get_bool(section, key, false);
            } catch (const IniError&) {
            }
        }
    }
    const IniFile again = IniFile::read_text(ini.to_string(), "rewritten.ini");
    if (again.sections() != ini.sections()) {
        __builtin_trap();
    }
    for (const std::string& section : ini.sections()) {
        if (again.options(section) != ini.options(section)) {
            __builtin_trap();
        }
        for (const std::string& key : ini.options(section)) {
            if (again.get_raw(section, key) != ini.get_raw(section, key)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
