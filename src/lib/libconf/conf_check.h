// Which keys a configuration may hold and which values each can use. Every
// library that reads a section adds the table of its keys; a host program
// adds its own the same way.
#pragma once

#include <cstddef>
#include <cstdint>

struct ConfHandle;

// One key that a section may hold. check is 0 when the value can be used;
// otherwise -1 with what is allowed written to why. A null check takes any text.
struct conf_key_rule {
    const char *section;
    const char *key;  // null ends a table
    int (*check)(const char *value, char *why, size_t why_size);
};

constexpr int CONF_RULE_TABLES = 16;

// Adds a table (kept by pointer, so static); adding the same table again does
// nothing. 0, or -1 when every place is taken.
int conf_rules_add(const conf_key_rule *table);
// Forgets every table (for tests and for a fresh start).
void conf_rules_reset();

enum conf_key_state {
    CONF_KEY_OK = 0,
    CONF_KEY_UNKNOWN = -1,  // the section has rules, the key none; or the section has none
    CONF_KEY_BAD = -2,      // the value cannot be used; why says what can
};
// Checks one value of section:key against the tables.
conf_key_state conf_check_value(const char *section, const char *key, const char *value, char *why, size_t why_size);
// True when some table names the section.
bool conf_section_known(const char *section);
// The known key of section nearest to name by edit distance; null when the
// section has no rules. conf_nearest_section does the same for section names.
const char *conf_nearest_key(const char *section, const char *name);
const char *conf_nearest_section(const char *name);

// Findings beyond this many are counted and summed up in one line.
constexpr size_t CONF_CHECK_SAY_MAX = 100;

struct conf_check_counts {
    int errors;   // values that cannot be used
    int unknown;  // unknown keys and sections
};
// Checks every entry of the configuration in one pass; each finding is one
// line without line end, "file:line: ...", handed to say in the order of the
// file, with is_error telling errors from warnings (the first
// CONF_CHECK_SAY_MAX of them, then one line with the number left).
void conf_check_all(ConfHandle *h, const char *file_name, conf_check_counts *counts,
                    void (*say)(bool is_error, const char *line, void *arg), void *arg);

// Checks for the tables. Each writes what is allowed on failure.
// A TCP or UDP port 1..65535, or 0 for "off".
int conf_check_port_or_off(const char *value, char *why, size_t why_size);
// "0" or "1".
int conf_check_switch(const char *value, char *why, size_t why_size);
// A decimal number in [lo, hi]: the whole text, no sign but '-' for a negative.
bool conf_parse_int(const char *value, int64_t lo, int64_t hi, int64_t *out);
// A bind list: empty (every address) or IP addresses separated by ','.
int conf_check_addr_list(const char *value, char *why, size_t why_size);
// Prints into why; returns -1 for use as the result of a check.
int conf_why(char *why, size_t why_size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
