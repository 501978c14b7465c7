// The debug shell server under load and under misbehaving clients, against
// the real binary. The Tsan variant is small enough for a ThreadSanitizer
// build of hubd and fails on any report in its standard error.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hubd_process_util.h"
#include "shell_client_util.h"

namespace {

const std::string NUL(1, '\0');
const std::string NEVER = "\x01no such text\x01";

struct Footprint {
    long long malloc_count = -1;
    long long malloc_bytes = -1;
    int threads = -1;
    int fds = -1;
    bool operator==(const Footprint &o) const {
        return malloc_count == o.malloc_count && malloc_bytes == o.malloc_bytes && threads == o.threads &&
               fds == o.fds;
    }
};

std::ostream &operator<<(std::ostream &os, const Footprint &f) {
    return os << "malloc_count=" << f.malloc_count << " malloc_bytes=" << f.malloc_bytes
              << " threads=" << f.threads << " fds=" << f.fds;
}

// Measured through one fresh session, which stays open while /proc is read.
Footprint measure(pid_t pid, int port) {
    Footprint f;
    ShellConn m(port);
    std::string mem = m.run("show memory");
    f.malloc_count = memory_field(mem, "malloc_count");
    f.malloc_bytes = memory_field(mem, "malloc_bytes");
    f.threads = thread_count(pid);
    f.fds = fd_count(pid);
    return f;
}

// One command of the mix and the reply it must get.
struct Step {
    std::string command;
    std::string expected;    // exact reply, unless prefix is set
    std::string prefix;      // the reply starts with this
    std::string contains;    // and contains this
};

Step step_for(int session, int i) {
    std::string tag = std::to_string(session) + "-" + std::to_string(i);
    switch (i % 5) {
    case 0: return {"show info", "", "ver=1.0.0.0\r\n", "\r\nlog_level=info\r\n"};
    case 1: return {"show memory", "", "malloc_count=", "\r\nmalloc_max_bytes="};
    case 2: return {"echo text-" + tag, "text-" + tag + "\r\n", "", ""};
    case 3: return {"set log.level info", "", "", ""};
    default:
        return {"nosuch" + tag,
                "command not found: [nosuch" + tag + "]\r\nType `help` to learn how to use prompt\r\n", "", ""};
    }
}

bool reply_fits(const Step &s, const std::string &reply) {
    if (s.prefix.empty()) return reply == s.expected;
    return reply.rfind(s.prefix, 0) == 0 && reply.find(s.contains) != std::string::npos;
}

struct LoadResult {
    std::atomic<int> sessions_ok{0};
    std::atomic<int> wrong{0};
    std::mutex lock;
    std::string first_wrong;
};

void run_session(ShellConn &c, int session, int commands, LoadResult *result) {
    bool ok = c.connected();
    for (int i = 0; ok && i < commands; ++i) {
        Step s = step_for(session, i);
        std::string reply = c.run(s.command);
        if (reply_fits(s, reply)) continue;
        ok = false;
        result->wrong.fetch_add(1);
        std::lock_guard<std::mutex> guard(result->lock);
        if (result->first_wrong.empty()) result->first_wrong = s.command + " -> [" + reply + "]";
    }
    if (ok) result->sessions_ok.fetch_add(1);
}

void run_session(int port, int session, int commands, LoadResult *result) {
    ShellConn c(port);
    run_session(c, session, commands, result);
}

// Runs the sessions, keeping hubd's output pipes drained meanwhile.
void run_load(HubdProcess &p, int port, int sessions, int commands, LoadResult *result) {
    // The listener's backlog is 5: a burst of 200 handshakes would overflow
    // it and leave some connections waiting on SYN retransmits for tens of
    // seconds. The sessions are opened one after another (each answered once,
    // so accepted) and then all run at the same time.
    std::vector<std::unique_ptr<ShellConn>> conns;
    for (int s = 0; s < sessions; ++s) {
        conns.push_back(std::make_unique<ShellConn>(port));
        if (conns.back()->run("echo ready") != "ready\r\n") result->wrong.fetch_add(1);
    }
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < sessions; ++s) {
        threads.emplace_back([&, s] {
            run_session(*conns[s], s, commands, result);
            conns[s].reset();
            done.fetch_add(1);
        });
    }
    while (done.load() < sessions && p.running()) p.wait_for_err(NEVER, 100);
    for (auto &t : threads) t.join();
}

// Polls until the footprint is back at the baseline (threads wind down after their sessions end).
Footprint settle(HubdProcess &p, int port, const Footprint &baseline) {
    Footprint now;
    for (int i = 0; i < 150; ++i) {
        now = measure(p.pid(), port);
        if (now == baseline) break;
        p.wait_for_err(NEVER, 200);
    }
    return now;
}

struct LoadServer : ShellHubd {
    // 200 sessions at once need a cap above the default of 64.
    LoadServer() : ShellHubd("shell_server_max_sessions = 256\n", false) {}
    // Every kind of command once, so that what is made on first use exists before the baseline.
    Footprint warm_baseline() {
        {
            ShellConn w(port);
            for (int i = 0; i < 5; ++i) w.run(step_for(0, i).command);
        }
        // The warm-up session's thread may still be ending: wait until two readings agree.
        Footprint last = measure(proc->pid(), port);
        for (int i = 0; i < 150; ++i) {
            proc->wait_for_err(NEVER, 100);
            Footprint now = measure(proc->pid(), port);
            if (now == last) break;
            last = now;
        }
        return last;
    }
};

void load_and_check(int sessions, int commands, bool check_tsan) {
    LoadServer s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    Footprint baseline = s.warm_baseline();
    ASSERT_GT(baseline.threads, 0);
    LoadResult result;
    run_load(*s.proc, s.port, sessions, commands, &result);
    EXPECT_EQ(result.wrong.load(), 0) << result.first_wrong;
    EXPECT_EQ(result.sessions_ok.load(), sessions);
    EXPECT_EQ(settle(*s.proc, s.port, baseline), baseline);
    HubdResult r = s.proc->stop(SIGTERM, 60000);
    EXPECT_EQ(r.exit_code, 0);
    if (check_tsan) {
        EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << r.err;
    }
}

TEST(NetshStress, ManySessionsGetRightRepliesAndLeaveNothingBehind) { load_and_check(200, 100, false); }

TEST(NetshTsan, SessionsRunWithoutRaceReports) { load_and_check(20, 20, true); }

// ---- misbehaving clients ----

TEST(NetshStress, MisbehavingClientsDisturbNoOtherSession) {
    LoadServer s;
    ASSERT_TRUE(s.ready()) << s.proc->err();
    std::atomic<bool> stop{false};
    std::vector<std::thread> faults;
    // Clients that ask for long replies and vanish before reading them.
    faults.emplace_back([&] {
        for (int i = 0; i < 40 && !stop; ++i) {
            ShellConn c(s.port);
            std::string many;
            for (int k = 0; k < 20; ++k) many += "show info" + NUL;
            c.send_raw(many);
            if (i % 2) {
                c.reset();
            } else {
                c.close_now();
            }
        }
    });
    // One byte a second.
    faults.emplace_back([&] {
        ShellConn c(s.port);
        for (char ch : std::string("echo trickle") + NUL) {
            if (stop) break;
            c.send_raw(std::string(1, ch));
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    // Binary garbage without letters, so that no command name can form.
    faults.emplace_back([&] {
        std::mt19937 rng(7);
        for (int i = 0; i < 20 && !stop; ++i) {
            ShellConn c(s.port);
            std::string junk;
            for (int k = 0; k < 6000; ++k) {
                int b = static_cast<int>(rng() % 96);
                junk += static_cast<char>(b < 32 ? b : 0x80 + b);
            }
            c.send_raw(junk);
            c.reset();
        }
    });
    // NUL floods: each byte is an empty request; the flooder never reads.
    faults.emplace_back([&] {
        for (int i = 0; i < 3 && !stop; ++i) {
            ShellConn c(s.port);
            c.send_raw(std::string(200000, '\0'));
            c.reset();
        }
    });
    // Meanwhile well-behaved sessions keep working.
    LoadResult result;
    std::atomic<int> done{0};
    std::thread good([&] {
        for (int round = 0; round < 8; ++round) run_session(s.port, 1000 + round, 25, &result);
        done = 1;
    });
    while (!done && s.proc->running()) s.proc->wait_for_err(NEVER, 100);
    good.join();
    stop = true;
    for (auto &t : faults) t.join();
    EXPECT_EQ(result.wrong.load(), 0) << result.first_wrong;
    EXPECT_EQ(result.sessions_ok.load(), 8);
    EXPECT_EQ(ShellConn(s.port).run("echo still accepting"), "still accepting\r\n");
    HubdResult end = s.proc->stop(SIGTERM, 60000);
    EXPECT_EQ(end.exit_code, 0) << "signal " << end.term_signal << "\n"
                                << end.err.substr(end.err.size() > 6000 ? end.err.size() - 6000 : 0);
}

}  // namespace
