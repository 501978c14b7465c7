// Percent-decoding stays within its input size; JSON escaping writes exactly
// the size it announced and decodes back to the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "libpal/string/str_escape.h"

namespace {

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes exactly the forms the escaper produces; false on anything else.
bool json_decode(const char *in, size_t n, std::string *out) {
    for (size_t i = 0; i < n; ++i) {
        if (in[i] != '\\') {
            if (static_cast<unsigned char>(in[i]) < 0x20 || in[i] == '"') return false;
            *out += in[i];
            continue;
        }
        if (++i >= n) return false;
        switch (in[i]) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case 'b': *out += '\b'; break;
            case 't': *out += '\t'; break;
            case 'n': *out += '\n'; break;
            case 'f': *out += '\f'; break;
            case 'r': *out += '\r'; break;
            case 'u': {
                if (i + 4 >= n || in[i + 1] != '0' || in[i + 2] != '0') return false;
                int hi = hex(in[i + 3]), lo = hex(in[i + 4]);
                if (hi < 0 || lo < 0) return false;
                *out += static_cast<char>(hi * 16 + lo);
                i += 4;
                break;
            }
            default: return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto *src = reinterpret_cast<const char *>(data);

    std::string text(src, size);
    size_t len = std::strlen(text.c_str());
    // Exactly the promised size, on the heap so any overrun is caught.
    std::unique_ptr<char[]> out(new char[len + 1]);
    if (str_unescape_url_args(text.c_str(), out.get(), len + 1) != 0) std::abort();
    if (strnlen(out.get(), len + 1) > len) std::abort();

    size_t need = str_escape_json(nullptr, src, size);
    if (need < size || need > size * 6) std::abort();
    std::unique_ptr<char[]> esc(new char[need ? need : 1]);
    if (str_escape_json(esc.get(), src, size) != need) std::abort();
    std::string back;
    if (!json_decode(esc.get(), need, &back) || back != text) std::abort();
    return 0;
}
