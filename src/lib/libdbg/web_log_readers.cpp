// The log view's readers: the recent records, kept per level, and each
// reader's own position in them, so that every reader sees every record and
// is told how many it missed. A flood of one level cannot push out another.
//
// Records arrive on the logging threads as they are written, encoded; they
// are turned into text only when a reader first asks for them, once for all
// readers. Memory: at most HTTP_LOG_KEEP_PER_LEVEL records per level, each
// at most BSV_LOG_REC_MAXN bytes encoded plus HTTP_LOG_TEXT_SIZE of text:
// about 3 MB a level and 26 MB for the nine level slots in the worst case,
// some 200 KB a level for lines of a hundred bytes. Slots are reused, so a
// flood costs no allocation once each slot has held a line.
#define LOG_TAG "dbg"
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_type.h"
#include "libbsv/bsv_value.h"
#include "libdbg/web_console_imp.h"
#include "liblog/log2.h"

namespace {

constexpr int LEVELS = LOG_VERB + 1;
constexpr size_t READERS_MAXN = 32;
constexpr char MISSED_FMT[] = "{\"log\":\"%llu lines missed\",\"level\":\"warning\",\"missed\":%llu},";

struct kept_record {
    uint64_t seq = 0;  // arrival order across the levels
    bool has_text = false;
    std::string rec;   // encoded, until has_text
    std::string text;
};

// A ring of HTTP_LOG_KEEP_PER_LEVEL slots, made at the level's first record.
struct level_ring {
    std::vector<kept_record> slots;
    uint64_t first = 0;  // ordinal of the oldest record kept
    uint64_t end = 0;    // ordinal of the next record
    kept_record &at(uint64_t ordinal) { return slots[ordinal % HTTP_LOG_KEEP_PER_LEVEL]; }
    kept_record &push() {
        if (slots.empty()) slots.resize(HTTP_LOG_KEEP_PER_LEVEL);
        if (end - first == HTTP_LOG_KEEP_PER_LEVEL) ++first;
        return at(end++);
    }
};

struct log_reader {
    uint64_t pos[LEVELS] = {};  // next ordinal to hand out, per level
    uint64_t lost_seen = 0;
    uint64_t last_poll_ms = 0;
};

struct reader_table {
    std::mutex lock;  // everything below
    level_ring rings[LEVELS];
    uint64_t next_seq = 0;
    uint64_t lost = 0;  // records that never reached the table
    bsv_value_ctx *value = nullptr;  // reads encoded records; null while stopped
    std::map<std::string, log_reader> readers;
};
// Never destroyed: a logging thread may still deliver while the process ends.
reader_table &g_table = *new reader_table;

// Records logged by this thread while it holds the table (they would
// deadlock on it): counted as lost, told to every reader.
thread_local bool t_holding = false;
std::atomic<uint64_t> g_lost_inside{0};

struct table_guard {
    std::lock_guard<std::mutex> guard{g_table.lock};
    table_guard() { t_holding = true; }
    ~table_guard() { t_holding = false; }
};

int clamp_level(int level) { return level < 0 ? 0 : level >= LEVELS ? LEVELS - 1 : level; }

// Readers not polling for a minute, and the oldest one when the table is
// full; the ids go to *forgotten, logged once the table is let go.
void forget_locked(const std::string &id, uint64_t now_ms, std::string *forgotten) {
    for (auto it = g_table.readers.begin(); it != g_table.readers.end();) {
        if (now_ms - it->second.last_poll_ms > HTTP_LOG_READER_IDLE_MS)
            it = g_table.readers.erase(it);
        else
            ++it;
    }
    if (g_table.readers.size() < READERS_MAXN || g_table.readers.count(id)) return;
    auto oldest = g_table.readers.begin();
    for (auto r = g_table.readers.begin(); r != g_table.readers.end(); ++r)
        if (r->second.last_poll_ms < oldest->second.last_poll_ms) oldest = r;
    *forgotten = oldest->first;
    g_table.readers.erase(oldest);
}

// The reader of that id, made at its first poll: it starts with what is kept.
log_reader &reader_locked(const std::string &id, uint64_t now_ms) {
    auto it = g_table.readers.find(id);
    if (it != g_table.readers.end()) return it->second;
    log_reader &r = g_table.readers[id];
    for (int l = 0; l < LEVELS; ++l) r.pos[l] = g_table.rings[l].first;
    r.lost_seen = g_table.lost;
    r.last_poll_ms = now_ms;
    return r;
}

const std::string &text_locked(kept_record &kept) {
    if (kept.has_text) return kept.text;
    char text[BSV_LOG_TEXT_MAXN];
    int level = 0;
    int len = g_table.value ? bsv_log_text(g_table.value, reinterpret_cast<const uint8_t *>(kept.rec.data()),
                                           kept.rec.size(), &level, text)
                            : -1;
    kept.text.assign(text, len > 0 ? static_cast<size_t>(len) : 0);
    kept.has_text = true;
    return kept.text;
}

// Appends the item in place: out holds HTTP_LOG_REPLY_SIZE bytes from the start.
void append_item(std::string &out, const std::string &text, int level) {
    static constexpr char HEAD[] = "{\"log\":\"", MID[] = "\",\"level\":\"", TAIL[] = "\"},";
    size_t at = out.size();
    out.resize(at + sizeof HEAD - 1 + HTTP_LOG_TEXT_SIZE);
    std::memcpy(&out[at], HEAD, sizeof HEAD - 1);
    at += sizeof HEAD - 1;
    at += http_json_escape_cut(text.data(), text.size(), &out[at], HTTP_LOG_TEXT_SIZE - 1);
    out.resize(at);
    out += MID;
    out += http_log_level_name(level);
    out += TAIL;
}

}  // namespace

void http_log_readers_add(int level, const char *text) {
    if (t_holding) {
        g_lost_inside.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    table_guard guard;
    kept_record &kept = g_table.rings[clamp_level(level)].push();
    kept.seq = g_table.next_seq++;
    kept.has_text = true;
    kept.rec.clear();
    kept.text.assign(text ? text : "");
}

void http_log_readers_add_record(const uint8_t *rec, size_t len) {
    if (len <= BSV_LOG_FIXED_SIZE || len > BSV_LOG_REC_MAXN) return;
    if (t_holding) {
        g_lost_inside.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    table_guard guard;
    if (!g_table.value) return;
    kept_record &kept = g_table.rings[clamp_level(rec[BSV_LOG_FIXED_SIZE - 1])].push();
    kept.seq = g_table.next_seq++;
    kept.has_text = false;
    kept.rec.assign(reinterpret_cast<const char *>(rec), len);
}

int http_log_readers_start() {
    table_guard guard;
    if (g_table.value) return 0;
    g_table.value = bsv_value_init(BSV_LOG_INFO, 0);
    return g_table.value ? 0 : -1;
}

void http_log_readers_clear() {
    table_guard guard;
    for (level_ring &ring : g_table.rings) {
        ring.first = ring.end;
        std::vector<kept_record>().swap(ring.slots);
    }
    g_table.readers.clear();
    bsv_value_exit(g_table.value);
    g_table.value = nullptr;
}

int http_log_level_parse(const char *name) {
    if (!name || !name[0]) return LOG_VERB;
    static constexpr struct {
        const char *name;
        int level;
    } NAMES[] = {{"crit", LOG_CRIT},    {"error", LOG_ERR}, {"warning", LOG_WARN},
                 {"notice", LOG_NOTI},  {"info", LOG_INFO}, {"debug", LOG_VERB}};
    for (const auto &row : NAMES)
        if (std::strcmp(row.name, name) == 0) return row.level;
    return -1;
}

std::string http_log_readers_reply(const char *reader, int max_level, uint64_t now_ms) {
    std::string id = reader ? reader : "";
    std::string out, forgotten;
    out.reserve(HTTP_LOG_REPLY_SIZE);
    out += '[';
    {
        table_guard guard;
        g_table.lost += g_lost_inside.exchange(0, std::memory_order_relaxed);
        forget_locked(id, now_ms, &forgotten);
        log_reader &r = reader_locked(id, now_ms);
        r.last_poll_ms = now_ms;
        uint64_t missed = g_table.lost - r.lost_seen;
        r.lost_seen = g_table.lost;
        for (int l = 0; l < LEVELS; ++l) {
            const level_ring &ring = g_table.rings[l];
            if (l > max_level) {
                // Not shown: a wider filter later starts from then on.
                r.pos[l] = ring.end;
                continue;
            }
            if (r.pos[l] < ring.first) {
                missed += ring.first - r.pos[l];
                r.pos[l] = ring.first;
            }
        }
        if (missed) {
            char item[sizeof MISSED_FMT + 40];
            int n = std::snprintf(item, sizeof item, MISSED_FMT, static_cast<unsigned long long>(missed),
                                  static_cast<unsigned long long>(missed));
            out.append(item, static_cast<size_t>(n));
        }
        // Oldest first across the levels; what does not fit waits for the next poll.
        while (out.size() + HTTP_LOG_TEXT_SIZE + 64 < HTTP_LOG_REPLY_SIZE) {
            int pick = -1;
            uint64_t pick_seq = 0;
            for (int l = 0; l <= max_level && l < LEVELS; ++l) {
                level_ring &ring = g_table.rings[l];
                if (r.pos[l] >= ring.end) continue;
                uint64_t seq = ring.at(r.pos[l]).seq;
                if (pick < 0 || seq < pick_seq) {
                    pick = l;
                    pick_seq = seq;
                }
            }
            if (pick < 0) break;
            level_ring &ring = g_table.rings[pick];
            append_item(out, text_locked(ring.at(r.pos[pick])), pick);
            ++r.pos[pick];
        }
    }
    if (!forgotten.empty()) LOGD("log reader [%s] forgotten for [%s]\n", forgotten.c_str(), id.c_str());
    if (out.size() > 1)
        out.back() = ']';
    else
        out += ']';
    return out;
}
