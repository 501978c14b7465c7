// Loads arbitrary bytes as an INI file, then queries, edits, dumps, saves and
// reloads it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "libconf/conf.h"
#include "libconf/ini/iniparser.h"
#include "libpal/string/str_vector.h"

namespace {

std::string g_path;

void walk_names(ConfHandle *h) {
    str_vector *sections = conf_sections(h);
    if (!sections) return;
    for (uint64_t i = 0; i < sections->count; ++i) {
        const char *section = sections->items[i];
        str_vector *keys = conf_keys(h, section);
        if (!keys) continue;
        for (uint64_t k = 0; k < keys->count; ++k) {
            std::string name = std::string(section) + "\t" + keys->items[k];
            if (!conf_get_str(h, name.c_str(), nullptr)) std::abort();  // a listed key must be found
            conf_get_int(h, name.c_str(), -1);
        }
        str_vector_destroy(keys);
    }
    str_vector_destroy(sections);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char dir[] = "/tmp/ini_load_fuzz_XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    g_path = std::string(dir) + "/f.ini";
    // Keep the dumps out of the fuzzer's output; run with -close_fd_mask=2 to
    // silence the loader's messages as well.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = std::fopen(g_path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    ConfHandle *h = conf_open(g_path.c_str());
    if (!h) return 0;
    walk_names(h);
    conf_get_str(h, "debug:shell_server_port", "");
    conf_dump(h);

    conf_set(h, "debug", "http_server_port", "12580");
    conf_set(h, "fuzz", "text", " a;b # c\\");
    conf_rename_section(h, "debug", "renamed");
    conf_del_key(h, "renamed", "http_server_port");
    if (conf_save(h) != 0) std::abort();
    conf_del_section(h, "fuzz");
    conf_close(h);

    // What was written must load again unless a line grew past the limit.
    ConfHandle *again = conf_open(g_path.c_str());
    if (again) {
        walk_names(again);
        conf_close(again);
    }
    return 0;
}
