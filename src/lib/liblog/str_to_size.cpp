#include "liblog/str_to_size.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

struct size_suffix {
    const char *name;
    double factor;
};

// Order matters: the first case-insensitive match wins.
constexpr std::array<size_suffix, 19> SUFFIXES{{
    {"c", 1.0},
    {"w", 2.0},
    {"b", 512.0},
    {"kB", 1e3},
    {"kD", 1e3},
    {"k", 1024.0},
    {"KB", 1e3},
    {"KD", 1e3},
    {"K", 1024.0},
    {"MB", 1e6},
    {"MD", 1e6},
    {"M", 1048576.0},
    {"GB", 1e9},
    {"GD", 1e9},
    {"G", 1073741824.0},
    {"TB", 1e12},
    {"T", 1099511627776.0},
    {"PB", 1e15},
    {"P", 1125899906842624.0},
}};

}  // namespace

uint64_t str_to_size(const char *text) {
    if (!text) return 0;
    unsigned char first = static_cast<unsigned char>(text[0]);
    if (std::isspace(first) || first == '+' || first == '-') return 0;
    size_t digits = std::strspn(text, "0123456789.");
    char number[64];
    if (digits >= sizeof number) return 0;
    std::memcpy(number, text, digits);
    number[digits] = 0;
    double value = std::strtod(number, nullptr);
    const char *rest = text + digits;
    while (*rest) {
        const size_suffix *match = nullptr;
        for (const auto &suffix : SUFFIXES) {
            if (strncasecmp(rest, suffix.name, std::strlen(suffix.name)) == 0) {
                match = &suffix;
                break;
            }
        }
        if (!match) return 0;
        value *= match->factor;
        rest += std::strlen(match->name);
    }
    if (!(value > 0)) return 0;
    if (value >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<uint64_t>(value);
}
