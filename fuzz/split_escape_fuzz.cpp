// Quoted splitting of arbitrary command lines into vectors of every mode.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libpal/string/str_vector.h"

namespace {

constexpr uint32_t MODES[] = {0x24, 0x61, STR_VECTOR_REF, STR_VECTOR_COPY,
                              STR_VECTOR_COPY | STR_VECTOR_ICASE | STR_VECTOR_UNIQUE};

void check(const str_vector &v) {
    if (v.count > v.capacity) std::abort();
    for (uint64_t i = 0; i < v.count; ++i) {
        if (!v.items[i]) std::abort();
        if ((v.flags & STR_VECTOR_SKIP_EMPTY) && !*v.items[i]) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint32_t flags = MODES[data[0] % (sizeof MODES / sizeof MODES[0])];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text.resize(std::strlen(text.c_str()));  // the splitter sees a C string
    // Two lines in one vector: the second split must not spoil the first's items.
    size_t cut = text.find('\n');
    std::string first = text.substr(0, cut);
    std::string second = cut == std::string::npos ? std::string() : text.substr(cut + 1);

    str_vector v;
    str_vector_init(&v, flags);
    size_t quotes = 0;
    for (char c : first) quotes += (c == '"' || c == '\'');
    int rc = str_split_esape(first.c_str(), &v);
    if ((rc == 0) != (quotes % 2 == 0)) std::abort();
    if (rc == 0 && v.items[v.count] != nullptr) std::abort();
    check(v);
    if (rc == 0 && quotes == 0 && !(flags & (STR_VECTOR_SKIP_EMPTY | STR_VECTOR_UNIQUE))) {
        // Without quotes the pieces joined by ';' give the line back.
        std::string joined;
        for (uint64_t i = 0; i < v.count; ++i) joined += (i ? ";" : "") + std::string(v.items[i]);
        if (joined != first) std::abort();
    }
    uint64_t kept = v.count;
    std::string copy_of_first_items;
    for (uint64_t i = 0; i < kept; ++i) copy_of_first_items += std::string(v.items[i]) + '\0';
    if (str_split_esape(second.c_str(), &v) == 0 && v.items[v.count] != nullptr) std::abort();
    check(v);
    if (v.count < kept) std::abort();
    std::string again;
    for (uint64_t i = 0; i < kept; ++i) again += std::string(v.items[i]) + '\0';
    if (again != copy_of_first_items) std::abort();
    str_vector_clear(&v);
    return 0;
}
