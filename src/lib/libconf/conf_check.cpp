#include "libconf/conf_check.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "libconf/conf.h"
#include "libpal/network/os_ipaddr.h"
#include "libpal/string/str_vector.h"

namespace {

// Filled during start-up before anything reads it; atomics keep a late reader safe.
std::array<std::atomic<const conf_key_rule *>, CONF_RULE_TABLES> g_tables{};

template <typename Fn>
void for_each_rule(Fn &&fn) {
    for (auto &slot : g_tables) {
        const conf_key_rule *table = slot.load(std::memory_order_acquire);
        if (!table) continue;
        for (const conf_key_rule *r = table; r->key; ++r)
            if (fn(*r)) return;
    }
}

const conf_key_rule *find_rule(const char *section, const char *key) {
    const conf_key_rule *found = nullptr;
    for_each_rule([&](const conf_key_rule &r) {
        if (std::strcmp(r.section, section) == 0 && std::strcmp(r.key, key) == 0) found = &r;
        return found != nullptr;
    });
    return found;
}

// Levenshtein distance, small names only (keys are short).
size_t distance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

struct Finding {
    int32_t line;
    bool is_error;
    std::string text;
};

// Section and key names are shown cut, so that one absurd line stays one line.
std::string shown(const char *text) {
    std::string s(text ? text : "");
    if (s.size() > 200) s = s.substr(0, 200) + "...";
    return s;
}

void check_section(ConfHandle *h, const char *file, const char *section, conf_check_counts *counts,
                   std::vector<Finding> &out) {
    int32_t line = 0;
    conf_origin(h, section, nullptr, &line, nullptr);
    str_vector *keys = conf_keys(h, section);
    bool known = conf_section_known(section);
    if (!known) {
        int32_t first_key = 0;
        if (keys && keys->count) conf_origin(h, section, keys->items[0], &first_key, nullptr);
        ++counts->unknown;
        std::string text;
        if (!section[0]) {
            text = std::string(file) + ":" + std::to_string(first_key) + ": " + shown(keys->items[0]) +
                   " stands before any [section] line";
            line = first_key;
        } else {
            const char *near = conf_nearest_section(section);
            text = std::string(file) + ":" + std::to_string(line) + ": unknown section [" + shown(section) + "]";
            if (near) text += std::string(", did you mean [") + near + "]?";
        }
        out.push_back({line, false, text});
        str_vector_destroy(keys);
        return;
    }
    for (uint64_t i = 0; keys && i < keys->count; ++i) {
        const char *key = keys->items[i];
        int32_t key_line = 0;
        uint32_t marks = 0;
        conf_origin(h, section, key, &key_line, &marks);
        std::string full = std::string(section) + "\t" + key;
        const char *value = conf_get_str(h, full.c_str(), "");
        char why[512] = "";
        conf_key_state state = conf_check_value(section, key, value, why, sizeof why);
        std::string where = std::string(file) + ":" + std::to_string(key_line) + ": ";
        if (state == CONF_KEY_UNKNOWN) {
            ++counts->unknown;
            std::string text = where + "[" + section + "] unknown key " + shown(key);
            if (const char *near = conf_nearest_key(section, key)) text += std::string(", did you mean ") + near + "?";
            out.push_back({key_line, false, text});
        } else if (state == CONF_KEY_BAD) {
            ++counts->errors;
            out.push_back({key_line, true, where + "[" + section + "] " + key + " = " + shown(value) + ": " + why});
        } else if ((marks & CONF_MARK_GLUED_COMMENT) && find_rule(section, key)->check == conf_check_addr_list) {
            // "a;b" leaves "a": ';' starts a comment, so the rest of the list is gone.
            ++counts->errors;
            out.push_back({key_line, true,
                           where + "[" + section + "] " + key + " = " + shown(value) +
                               ": addresses are separated by ',' (';' starts a comment)"});
        }
    }
    str_vector_destroy(keys);
}

}  // namespace

int conf_why(char *why, size_t why_size, const char *fmt, ...) {
    if (why && why_size) {
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(why, why_size, fmt, args);
        va_end(args);
    }
    return -1;
}

int conf_rules_add(const conf_key_rule *table) {
    if (!table) return -1;
    for (auto &slot : g_tables)
        if (slot.load(std::memory_order_acquire) == table) return 0;
    for (auto &slot : g_tables) {
        const conf_key_rule *empty = nullptr;
        if (slot.compare_exchange_strong(empty, table, std::memory_order_acq_rel)) return 0;
    }
    return -1;
}

void conf_rules_reset() {
    for (auto &slot : g_tables) slot.store(nullptr, std::memory_order_release);
}

bool conf_section_known(const char *section) {
    bool known = false;
    for_each_rule([&](const conf_key_rule &r) { return known = std::strcmp(r.section, section) == 0; });
    return known;
}

conf_key_state conf_check_value(const char *section, const char *key, const char *value, char *why,
                                size_t why_size) {
    if (why && why_size) why[0] = 0;
    if (!section || !key) return CONF_KEY_UNKNOWN;
    const conf_key_rule *rule = find_rule(section, key);
    if (!rule) return CONF_KEY_UNKNOWN;
    if (rule->check && rule->check(value ? value : "", why, why_size) != 0) return CONF_KEY_BAD;
    return CONF_KEY_OK;
}

const char *conf_nearest_key(const char *section, const char *name) {
    const char *best = nullptr;
    size_t best_d = 0;
    for_each_rule([&](const conf_key_rule &r) {
        if (std::strcmp(r.section, section) != 0) return false;
        size_t d = distance(name, r.key);
        if (!best || d < best_d) {
            best = r.key;
            best_d = d;
        }
        return false;
    });
    return best;
}

const char *conf_nearest_section(const char *name) {
    const char *best = nullptr;
    size_t best_d = 0;
    for_each_rule([&](const conf_key_rule &r) {
        size_t d = distance(name, r.section);
        if (!best || d < best_d) {
            best = r.section;
            best_d = d;
        }
        return false;
    });
    return best;
}

void conf_check_all(ConfHandle *h, const char *file_name, conf_check_counts *counts,
                    void (*say)(bool is_error, const char *line, void *arg), void *arg) {
    conf_check_counts local{};
    if (!counts) counts = &local;
    *counts = {};
    if (!h) return;
    const char *file = file_name ? file_name : "";
    std::vector<Finding> found;
    // Keys before the first section line have the empty section, which has no
    // entry of its own: ask for it besides the listed ones.
    str_vector *sections = conf_sections(h);
    str_vector *before = conf_keys(h, "");
    if (before && before->count) check_section(h, file, "", counts, found);
    str_vector_destroy(before);
    for (uint64_t i = 0; sections && i < sections->count; ++i) check_section(h, file, sections->items[i], counts, found);
    str_vector_destroy(sections);
    std::stable_sort(found.begin(), found.end(), [](const Finding &a, const Finding &b) { return a.line < b.line; });
    if (say)
        for (const Finding &f : found) say(f.is_error, f.text.c_str(), arg);
}

bool conf_parse_int(const char *value, int64_t lo, int64_t hi, int64_t *out) {
    if (!value || !*value) return false;
    const char *p = value;
    bool negative = *p == '-';
    if (negative) ++p;
    if (!*p) return false;
    int64_t n = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (n > (INT64_MAX - 9) / 10) return false;
        n = n * 10 + (*p - '0');
    }
    if (negative) n = -n;
    if (n < lo || n > hi) return false;
    if (out) *out = n;
    return true;
}

int conf_check_port_or_off(const char *value, char *why, size_t why_size) {
    if (conf_parse_int(value, 0, 65535, nullptr)) return 0;
    return conf_why(why, why_size, "a port is 1 to 65535 (0 switches the server off)");
}

int conf_check_switch(const char *value, char *why, size_t why_size) {
    if (std::strcmp(value, "0") == 0 || std::strcmp(value, "1") == 0) return 0;
    return conf_why(why, why_size, "0 or 1");
}

int conf_check_addr_list(const char *value, char *why, size_t why_size) {
    constexpr const char *ALLOWED =
        "IP addresses separated by ',' such as 127.0.0.1,::1, or empty for every address";
    if (!*value) return 0;
    std::string_view rest(value);
    for (;;) {
        size_t comma = rest.find(',');
        std::string item(rest.substr(0, comma));
        os_ipaddr ip;
        os_ipaddr_clear(&ip);
        if (item.empty() || item.size() >= OS_IPADDR_CSTR_MAXN || !os_ipaddr_ip_cstr_set(&ip, item.c_str()))
            return conf_why(why, why_size, "'%s' is no IP address; %s", shown(item.c_str()).c_str(), ALLOWED);
        if (comma == std::string_view::npos) return 0;
        rest.remove_prefix(comma + 1);
    }
}
