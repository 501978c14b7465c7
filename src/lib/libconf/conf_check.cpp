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

struct Walk {
    const char *file;
    conf_check_counts *counts;
    std::vector<Finding> found;
    std::string section;  // the section of the last entry, and whether it is known
    bool known = false;
    bool stray_said = false;
};

std::string where(const Walk &w, int32_t line) { return std::string(w.file) + ":" + std::to_string(line) + ": "; }

void check_entry(const char *section_text, size_t section_len, const char *key, const char *value, int32_t line,
                 uint32_t marks, void *arg) {
    Walk &w = *static_cast<Walk *>(arg);
    if (w.section.size() != section_len || w.section.compare(0, section_len, section_text, section_len) != 0) {
        w.section.assign(section_text, section_len);
        w.known = conf_section_known(w.section.c_str());
    }
    const char *section = w.section.c_str();
    if (!key) {
        // The keys of an unknown section are not listed one by one: the section says it.
        if (w.known) return;
        ++w.counts->unknown;
        std::string text = where(w, line) + "unknown section [" + shown(section) + "]";
        if (const char *near = conf_nearest_section(section)) text += std::string(", did you mean [") + near + "]?";
        w.found.push_back({line, false, text});
        return;
    }
    if (!w.known) {
        if (section_len || w.stray_said) return;
        // Keys before the first section line belong to no section: said once.
        w.stray_said = true;
        ++w.counts->unknown;
        w.found.push_back({line, false, where(w, line) + shown(key) + " stands before any [section] line"});
        return;
    }
    char why[512] = "";
    conf_key_state state = conf_check_value(section, key, value, why, sizeof why);
    std::string head = where(w, line) + "[" + section + "] ";
    if (state == CONF_KEY_UNKNOWN) {
        ++w.counts->unknown;
        std::string text = head + "unknown key " + shown(key);
        if (const char *near = conf_nearest_key(section, key)) text += std::string(", did you mean ") + near + "?";
        w.found.push_back({line, false, text});
    } else if (state == CONF_KEY_BAD) {
        ++w.counts->errors;
        w.found.push_back({line, true, head + key + " = " + shown(value) + ": " + why});
    } else if ((marks & CONF_MARK_GLUED_COMMENT) && find_rule(section, key)->check == conf_check_addr_list) {
        // "a;b" leaves "a": ';' starts a comment, so the rest of the list is gone.
        ++w.counts->errors;
        w.found.push_back(
            {line, true, head + key + " = " + shown(value) + ": addresses are separated by ',' (';' starts a comment)"});
    }
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
    Walk walk{file_name ? file_name : "", counts, {}, {}, false, false};
    // The empty section (keys before any section line) has no entry of its own.
    walk.known = conf_section_known("");
    conf_walk(h, check_entry, &walk);
    std::stable_sort(walk.found.begin(), walk.found.end(),
                     [](const Finding &a, const Finding &b) { return a.line < b.line; });
    if (!say) return;
    // A file of garbage gives one screen of findings, not one per line.
    size_t shown_count = std::min(walk.found.size(), CONF_CHECK_SAY_MAX);
    for (size_t i = 0; i < shown_count; ++i) say(walk.found[i].is_error, walk.found[i].text.c_str(), arg);
    if (walk.found.size() > shown_count) {
        std::string more = std::string(walk.file) + ": " + std::to_string(walk.found.size() - shown_count) +
                           " more findings not shown";
        say(false, more.c_str(), arg);
    }
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
