#define LOG_TAG "pwd"
#include "libpwd/libpwd.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "libpal/os/os_time.h"
#include "liblog/log2.h"

namespace {

struct fail_record {
    uint64_t first_seen;
    uint64_t last_fail;
    uint64_t locked_until;
    int32_t count;
};

struct pwd_state {
    std::mutex lock;  // the table and the settings
    std::string user, pwd1, pwd2;
    int fail_count = 0;
    int wait_m = 1;
    size_t capacity = LIBPWD_DEFAULT_CAPACITY;
    std::map<std::string, fail_record> table;
};
pwd_state g_pwd;
std::atomic<uint64_t (*)()> g_clock{nullptr};

constexpr char WRONG[] = "Wrong user or password";

uint64_t now_ms() {
    uint64_t (*clock)() = g_clock.load(std::memory_order_relaxed);
    return clock ? clock() : os_clock_ms();
}

void set_msg(char *msg, const char *text) {
    if (msg) std::snprintf(msg, LIBPWD_MSG_SIZE, "%s", text);
}

std::string cut(const char *text) {
    std::string s = text ? text : "";
    if (s.size() >= LIBPWD_TEXT_SIZE) s.resize(LIBPWD_TEXT_SIZE - 1);
    return s;
}

// Under the lock: makes room by dropping every record with the oldest
// last failure, then tracks the address.
void track_locked(const std::string &addr, uint64_t now) {
    if (g_pwd.table.size() >= g_pwd.capacity) {
        uint64_t oldest = UINT64_MAX;
        for (const auto &[key, rec] : g_pwd.table) oldest = rec.last_fail < oldest ? rec.last_fail : oldest;
        std::erase_if(g_pwd.table, [oldest](const auto &item) { return item.second.last_fail == oldest; });
    }
    g_pwd.table[addr] = fail_record{now, 0, 0, 0};
}

void count_failure(const std::string &addr) {
    std::lock_guard<std::mutex> guard(g_pwd.lock);
    if (g_pwd.fail_count == 0) return;
    auto it = g_pwd.table.find(addr);
    if (it == g_pwd.table.end()) return;
    uint64_t now = now_ms();
    fail_record &rec = it->second;
    ++rec.count;
    rec.last_fail = now;
    if (rec.count >= g_pwd.fail_count) rec.locked_until = now + static_cast<uint64_t>(g_pwd.wait_m) * 60000;
}

}  // namespace

void libpwd_set_account(const char *user, const char *pwd1, const char *pwd2) {
    std::lock_guard<std::mutex> guard(g_pwd.lock);
    g_pwd.user = cut(user);
    g_pwd.pwd1 = cut(pwd1);
    g_pwd.pwd2 = cut(pwd2);
}

void libpwd_set_limits(int fail_count, int wait_m, int capacity) {
    std::lock_guard<std::mutex> guard(g_pwd.lock);
    g_pwd.fail_count = fail_count < 0 ? 0 : fail_count;
    g_pwd.wait_m = wait_m < 1 ? 1 : wait_m;
    g_pwd.capacity = capacity < 1 ? 1 : static_cast<size_t>(capacity);
    if (g_pwd.fail_count == 0) g_pwd.table.clear();
}

void libpwd_set_clock(uint64_t (*clock_ms)()) { g_clock.store(clock_ms, std::memory_order_relaxed); }

size_t libpwd_tracked() {
    std::lock_guard<std::mutex> guard(g_pwd.lock);
    return g_pwd.table.size();
}

void libpwd_reset() {
    std::lock_guard<std::mutex> guard(g_pwd.lock);
    g_pwd.table.clear();
    g_pwd.user.clear();
    g_pwd.pwd1.clear();
    g_pwd.pwd2.clear();
    g_pwd.fail_count = 0;
    g_pwd.wait_m = 1;
    g_pwd.capacity = LIBPWD_DEFAULT_CAPACITY;
}

int libpwd_check_user_pwd(const char *addr, const char *user, const char *pwd, char *msg) {
    std::string address = addr ? addr : "";
    std::string given_user = user ? user : "";
    std::string given_pwd = pwd ? pwd : "";
    char locked_msg[LIBPWD_MSG_SIZE] = "";
    bool locked = false;
    bool tracking;
    std::string account_user, pwd1, pwd2;
    {
        std::lock_guard<std::mutex> guard(g_pwd.lock);
        tracking = g_pwd.fail_count != 0;
        account_user = g_pwd.user;
        pwd1 = g_pwd.pwd1;
        pwd2 = g_pwd.pwd2;
        if (tracking) {
            uint64_t now = now_ms();
            auto it = g_pwd.table.find(address);
            if (it != g_pwd.table.end() && it->second.count >= g_pwd.fail_count) {
                fail_record &rec = it->second;
                if (now < rec.locked_until) {
                    uint64_t left_ms = rec.locked_until - now;
                    std::time_t at = std::time(nullptr) + static_cast<std::time_t>((left_ms + 999) / 1000);
                    std::tm utc{};
                    char when[32] = "";
                    if (gmtime_r(&at, &utc)) std::strftime(when, sizeof when, "%H:%M:%S UTC", &utc);
                    std::snprintf(locked_msg, sizeof locked_msg,
                                  "Login failed %d times, Please try again in %0.2f minutes (from %s at %s)", rec.count,
                                  static_cast<double>(left_ms) / 60000.0, address.c_str(), when);
                    locked = true;
                } else {
                    rec.count = 0;
                }
            } else if (it == g_pwd.table.end()) {
                track_locked(address, now);
            }
        }
    }
    if (locked) {
        set_msg(msg, locked_msg);
        LOGW("ip=[%s] error: %s\n", address.c_str(), locked_msg);
        return LIBPWD_LOCKED;
    }
    // No credentials at all is a browser's first request, not a guess.
    if (given_user.empty() && given_pwd.empty()) {
        set_msg(msg, WRONG);
        return LIBPWD_REFUSED;
    }
    if (given_user != account_user) {
        set_msg(msg, WRONG);
        // A bare ':' is what a browser sends before it has asked anyone.
        if (given_user == ":") return LIBPWD_REFUSED;
        LOGW("ip=[%s] wrong user [%s]\n", address.c_str(), given_user.c_str());
        count_failure(address);
        return LIBPWD_REFUSED;
    }
    if (given_pwd == pwd1 || given_pwd == pwd2) {
        if (tracking) {
            std::lock_guard<std::mutex> guard(g_pwd.lock);
            g_pwd.table.erase(address);
        }
        LOGD("ip=[%s] login_ok\n", address.c_str());
        return LIBPWD_OK;
    }
    LOGW("ip=[%s] wrong pwd [%s]\n", address.c_str(), given_pwd.c_str());
    set_msg(msg, WRONG);
    count_failure(address);
    return LIBPWD_REFUSED;
}
