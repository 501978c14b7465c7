// The log view's readers: the recent records, kept per level, and each
// reader's own position in them, so that every reader sees every record and
// is told how many it missed. A flood of one level cannot push out another.
#define LOG_TAG "dbg"
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "libdbg/web_console_imp.h"
#include "liblog/log2.h"

namespace {

constexpr int LEVELS = LOG_VERB + 1;
constexpr size_t READERS_MAXN = 32;

struct kept_record {
    uint64_t seq;  // arrival order across the levels
    std::string text;
};

struct level_ring {
    std::deque<kept_record> records;
    uint64_t first = 0;  // ordinal of records.front() among this level's records
    uint64_t end() const { return first + records.size(); }
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
    std::map<std::string, log_reader> readers;
};
reader_table g_table;

int clamp_level(int level) { return level < 0 ? 0 : level >= LEVELS ? LEVELS - 1 : level; }

void forget_idle_locked(uint64_t now_ms) {
    for (auto it = g_table.readers.begin(); it != g_table.readers.end();) {
        if (now_ms - it->second.last_poll_ms > HTTP_LOG_READER_IDLE_MS)
            it = g_table.readers.erase(it);
        else
            ++it;
    }
}

// The reader of that id, made at its first poll: it starts with what is kept.
log_reader &reader_locked(const std::string &id, uint64_t now_ms) {
    auto it = g_table.readers.find(id);
    if (it != g_table.readers.end()) return it->second;
    if (g_table.readers.size() >= READERS_MAXN) {
        auto oldest = g_table.readers.begin();
        for (auto r = g_table.readers.begin(); r != g_table.readers.end(); ++r)
            if (r->second.last_poll_ms < oldest->second.last_poll_ms) oldest = r;
        LOGD("log reader [%s] forgotten for [%s]\n", oldest->first.c_str(), id.c_str());
        g_table.readers.erase(oldest);
    }
    log_reader &r = g_table.readers[id];
    for (int l = 0; l < LEVELS; ++l) r.pos[l] = g_table.rings[l].first;
    r.lost_seen = g_table.lost;
    r.last_poll_ms = now_ms;
    return r;
}

void append_item(std::string &out, const std::string &text, int level) {
    char escaped[HTTP_LOG_TEXT_SIZE];
    size_t len = http_json_escape_cut(text.data(), text.size(), escaped, sizeof escaped - 1);
    out += "{\"log\":\"";
    out.append(escaped, len);
    out += "\",\"level\":\"";
    out += http_log_level_name(level);
    out += "\"},";
}

}  // namespace

void http_log_readers_add(int level, const char *text) {
    int l = clamp_level(level);
    std::lock_guard<std::mutex> guard(g_table.lock);
    level_ring &ring = g_table.rings[l];
    ring.records.push_back({g_table.next_seq++, text ? text : ""});
    if (ring.records.size() > HTTP_LOG_KEEP_PER_LEVEL) {
        ring.records.pop_front();
        ++ring.first;
    }
}

void http_log_readers_lost(uint64_t count) {
    std::lock_guard<std::mutex> guard(g_table.lock);
    g_table.lost += count;
}

void http_log_readers_clear() {
    std::lock_guard<std::mutex> guard(g_table.lock);
    for (level_ring &ring : g_table.rings) {
        ring.first = ring.end();
        ring.records.clear();
    }
    g_table.readers.clear();
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
    std::lock_guard<std::mutex> guard(g_table.lock);
    forget_idle_locked(now_ms);
    log_reader &r = reader_locked(id, now_ms);
    r.last_poll_ms = now_ms;
    uint64_t missed = g_table.lost - r.lost_seen;
    r.lost_seen = g_table.lost;
    for (int l = 0; l < LEVELS; ++l) {
        const level_ring &ring = g_table.rings[l];
        if (l > max_level) {
            // Not shown: a wider filter later starts from then on.
            r.pos[l] = ring.end();
            continue;
        }
        if (r.pos[l] < ring.first) {
            missed += ring.first - r.pos[l];
            r.pos[l] = ring.first;
        }
    }
    std::string out = "[";
    if (missed) {
        char item[96];
        std::snprintf(item, sizeof item, "{\"log\":\"%llu lines missed\",\"level\":\"warning\",\"missed\":%llu},",
                      static_cast<unsigned long long>(missed), static_cast<unsigned long long>(missed));
        out += item;
    }
    // Oldest first across the levels; what does not fit waits for the next poll.
    while (out.size() + HTTP_LOG_TEXT_SIZE < HTTP_LOG_REPLY_SIZE) {
        int pick = -1;
        uint64_t pick_seq = 0;
        for (int l = 0; l <= max_level && l < LEVELS; ++l) {
            const level_ring &ring = g_table.rings[l];
            if (r.pos[l] >= ring.end()) continue;
            uint64_t seq = ring.records[r.pos[l] - ring.first].seq;
            if (pick < 0 || seq < pick_seq) {
                pick = l;
                pick_seq = seq;
            }
        }
        if (pick < 0) break;
        const level_ring &ring = g_table.rings[pick];
        append_item(out, ring.records[r.pos[pick] - ring.first].text, pick);
        ++r.pos[pick];
    }
    if (out.size() > 1)
        out.back() = ']';
    else
        out += ']';
    return out;
}
