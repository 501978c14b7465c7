// The INI driver's dictionary: parallel arrays indexed by slot, so that the
// order of a written file follows the slots. A section is an entry whose key is
// the section name and whose value is null; a key is "section<TAB>key".
#pragma once

#include <cstddef>
#include <cstdint>

// Keys are cut to this many bytes before they are stored or looked up.
constexpr size_t DICT_KEY_MAX = 1024;
constexpr int32_t DICT_MIN_SIZE = 128;

struct IniDict {
    int32_t count;      // used slots
    int32_t size;       // slots; doubles when full
    char **values;      // null for a section entry
    char **keys;        // null marks a free slot
    char **comments;    // comment and blank lines that stood before the entry; may be null
    uint32_t *hashes;
    int32_t *lines;     // line of the file the entry was read from; 0 when set by a call
    uint8_t *marks;     // DICT_MARK_* bits of the entry
    char *trailer;      // comment and blank lines after the last entry; may be null
    void *index;        // key -> slot, so that a lookup does not walk the slots
};

// The value stood directly before an inline comment (";x" with no blank):
// likely text the writer meant as part of the value.
constexpr uint8_t DICT_MARK_GLUED_COMMENT = 0x01;

// One-at-a-time hash of the key bytes (each taken as a signed char).
uint32_t dictionary_hash(const char *key);

// size below DICT_MIN_SIZE gives DICT_MIN_SIZE; null when memory runs out.
IniDict *dictionary_new(int32_t size);
// Frees every entry and the record; null is ignored.
void dictionary_del(IniDict *d);

// Slot of the key, or -1.
int32_t dictionary_find(const IniDict *d, const char *key);
// The stored value (null for a section entry), or def when the key is absent.
const char *dictionary_get(const IniDict *d, const char *key, const char *def);
// Sets key to a copy of value (null for a section entry). An existing entry keeps
// its slot and its comment; a new one takes a copy of comment (null/empty: none)
// and the first free slot at or after count. 0, or -1 when memory runs out.
int dictionary_set(IniDict *d, const char *key, const char *value, const char *comment);
// Same, and records where the entry was read from (line, DICT_MARK_* bits);
// a line below 0 leaves an existing entry's origin as it was.
int dictionary_set_line(IniDict *d, const char *key, const char *value, const char *comment, int32_t line,
                        uint8_t marks);
// Records where the entry of key was read from (line, DICT_MARK_* bits); 0, or -1 when absent.
int dictionary_set_origin(IniDict *d, const char *key, int32_t line, uint8_t marks);
// Frees the entry; 0, or -1 when the key does not exist.
int dictionary_unset(IniDict *d, const char *key);
// Frees the section entry and every "section<TAB>..." entry; 0, or -2 when none matched.
int dictionary_del_section(IniDict *d, const char *section);
// Gives the section and its keys the new name in place. 0; -1 when the new name
// exists already; -2 when the old name has no entries.
int dictionary_secrename(IniDict *d, const char *old_name, const char *new_name);
// The key part when key belongs to section ("section<TAB>key"), else null.
const char *dictionary_key_in_section(const char *key, const char *section, size_t section_len);
