// Every piece of a parsed URL must be a terminated string inside the area.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/string/str_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string url(reinterpret_cast<const char *>(data), size);
    std::vector<char> area(URL_TEXT_SIZE);
    url_parts parts{};
    if (str_url_parse(&parts, area.data(), url.c_str()) != 0) std::abort();
    const char *begin = area.data();
    const char *end = begin + area.size();
    for (const char *piece : {parts.scheme, parts.user, parts.passwd, parts.host, parts.path,
                              parts.query, parts.fragment}) {
        if (!piece || piece < begin || piece >= end) std::abort();
        if (strnlen(piece, static_cast<size_t>(end - piece)) == static_cast<size_t>(end - piece))
            std::abort();
    }
    if (parts.port < 0) std::abort();
    return 0;
}
