// Command aliases shared by every session: 39 hash buckets of singly linked
// chains, guarded by one lock that is never held while a command runs.
#pragma once

#include <cstddef>

constexpr unsigned ALIAS_BUCKETS = 39;

struct alias_entry {
    alias_entry *next;
    char *name;   // own copy
    char *value;  // own copy
};

// Allocates the table ("malloc failed" at crit when it cannot); 0 or -1.
int alias_init();
// Frees every alias and the table.
void alias_exit();
// Bucket of a name: 16 x first byte plus every byte, modulo 39.
unsigned alias_hash(const char *name);
// Replaces the value of an existing alias or appends a new one; 0 or -1.
int alias_set(const char *name, const char *value);
// The entry itself; valid only until some session removes it. Sessions use alias_value_copy.
alias_entry *alias_lookup(const char *name);
// Copies the value (cut to size) into buf; the full value length, or -1 when there is no alias.
int alias_value_copy(const char *name, char *buf, size_t size);
// 0, or -1 when there is no such alias.
int alias_remove(const char *name);
void alias_remove_all();
// Every alias as "%s=%s\n", bucket by bucket and along each chain; heap text or null.
char *alias_list_text();
