// The settings table of every parser family: keys unique within a table and defaults within
// their width. Prints each setting as "family key default width", which tests/test_cpp.py
// compares with the Python tests' copy (formats.SETTINGS). Exit status 0 when every
// check holds.
#include <cstdio>
#include <span>
#include <string_view>

#include "parsing/models.hpp"

using namespace vuzevuz::parsing;

namespace {

int failures = 0;

const char* width_name(Width w) {
    switch (w) {
        case Width::Bits16: return "16";
        case Width::Bits32: return "32";
        case Width::HexText16: return "hex16";
    }
    return "?";
}

void table(const char* family, std::span<const Setting> settings) {
    for (std::size_t i = 0; i < settings.size(); ++i) {
        const Setting& s = settings[i];
        for (std::size_t j = 0; j < i; ++j)
            if (settings[j].key == s.key) {
                std::fprintf(stderr, "FAILED: %s lists %.*s twice\n", family, int(s.key.size()), s.key.data());
                ++failures;
            }
        if (s.width != Width::Bits32 && s.fallback > 0xFFFF) {
            std::fprintf(stderr, "FAILED: %s default of %.*s beyond 16 bits\n", family, int(s.key.size()),
                         s.key.data());
            ++failures;
        }
        std::printf("%s %.*s %u %s\n", family, int(s.key.size()), s.key.data(), unsigned(s.fallback),
                    width_name(s.width));
    }
}

}  // namespace

int main() {
    table("dravikv1", dravikv1::setting_table);
    table("hestrelv1", hestrelv1::setting_table);
    table("korvexv3", korvexv3::setting_table);
    table("korvexv3s", korvexv3s::setting_table);
    table("quimbra", quimbra::setting_table);
    table("sirel96", sirel96::setting_table);
    table("tolvanev3", tolvanev3::setting_table);
    table("ysk16", ysk16::setting_table);
    return failures == 0 ? 0 : 1;
}
