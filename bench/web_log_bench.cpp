// The web console's log view: ten readers polling GET /log at once while the
// program logs, with the server's CPU time per poll (the process's time less
// the clients' and the logging thread's own) and each poll's latency; and
// one reader's reply from a full store, without HTTP.
#define LOG_TAG "tag"
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "libbsv/bsv_log.h"
#include "libdbg/web_console.h"
#include "libdbg/web_console_imp.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "libnet/sock_event_loop.h"
#include "libsh/libsh.h"
#include "web_console_bench.h"

namespace {

constexpr int READERS = 10;
constexpr int LINES_PER_SECOND = 5000;

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double process_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The console lines of the logging thread would fill the terminal.
void quiet_stderr() {
    static const bool done = [] {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) dup2(null_fd, 2);
        return true;
    }();
    (void)done;
}

int console_port() {
    static const int port = (quiet_stderr(), web_console_bench_port());
    return port;
}

// One GET with Connection: close; the reply's length, -1 on failure.
long http_get(int port, const std::string &path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        close(fd);
        return -1;
    }
    char buf[65536];
    long total = 0;
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) total += n;
    close(fd);
    return total;
}

struct reader_result {
    std::vector<double> latency_us;
    double cpu_s = 0;
    long bytes = 0;
    bool failed = false;
};

void BM_LogTenReadersPolling(benchmark::State &state) {
    int port = console_port();
    if (port == 0) {
        state.SkipWithError("console did not start");
        return;
    }
    const char *env = std::getenv("HUBD_BENCH_SECONDS");
    const double seconds = env ? std::atof(env) : 5.0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        double logger_cpu = 0;
        std::vector<reader_result> results(READERS);
        double cpu_before = process_cpu_s();
        auto wall_start = std::chrono::steady_clock::now();
        std::thread logger([&] {
            double cpu0 = thread_cpu_s();
            auto next = std::chrono::steady_clock::now();
            for (long i = 0; !stop.load(std::memory_order_relaxed);) {
                for (int k = 0; k < LINES_PER_SECOND / 100; ++k, ++i) LOGI("bench line %ld of the log view\n", i);
                next += std::chrono::milliseconds(10);
                std::this_thread::sleep_until(next);
            }
            logger_cpu = thread_cpu_s() - cpu0;
        });
        std::vector<std::thread> readers;
        for (int r = 0; r < READERS; ++r) {
            readers.emplace_back([&, r] {
                reader_result &res = results[static_cast<size_t>(r)];
                std::string path = "/log?token=1&reader=bench" + std::to_string(r);
                double cpu0 = thread_cpu_s();
                while (!stop.load(std::memory_order_relaxed)) {
                    auto t0 = std::chrono::steady_clock::now();
                    long got = http_get(port, path);
                    auto t1 = std::chrono::steady_clock::now();
                    if (got <= 0) {
                        res.failed = true;
                        break;
                    }
                    res.bytes += got;
                    res.latency_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                }
                res.cpu_s = thread_cpu_s() - cpu0;
            });
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        stop.store(true, std::memory_order_relaxed);
        for (auto &t : readers) t.join();
        logger.join();
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        // Connection threads still ending are counted too: wait for them.
        for (int i = 0; i < 200 && dbg_http_server_threads() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        double server_cpu = process_cpu_s() - cpu_before - logger_cpu;
        std::vector<double> all;
        long bytes = 0;
        for (const reader_result &res : results) {
            if (res.failed) state.SkipWithError("a poll failed");
            server_cpu -= res.cpu_s;
            bytes += res.bytes;
            all.insert(all.end(), res.latency_us.begin(), res.latency_us.end());
        }
        if (all.empty()) {
            state.SkipWithError("no poll answered");
            return;
        }
        std::sort(all.begin(), all.end());
        double polls = static_cast<double>(all.size());
        state.counters["polls_per_s"] = polls / wall;
        state.counters["server_cpu_us_per_poll"] = server_cpu * 1e6 / polls;
        state.counters["latency_us_p50"] = all[all.size() / 2];
        state.counters["latency_us_p99"] = all[all.size() * 99 / 100];
        state.counters["reply_bytes"] = static_cast<double>(bytes) / polls;
    }
}
BENCHMARK(BM_LogTenReadersPolling)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A reader that is always behind: every reply is a full one.
void BM_LogReplyFromFullStore(benchmark::State &state) {
    http_log_readers_clear();
    std::string line(120, 'x');
    for (size_t i = 0; i < HTTP_LOG_KEEP_PER_LEVEL; ++i) {
        http_log_readers_add(LOG_INFO, line.c_str());
        if (i % 10 == 0) http_log_readers_add(LOG_WARN, line.c_str());
    }
    uint64_t now = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        std::string reply = http_log_readers_reply("full", LOG_VERB, ++now);
        if (reply == "[]") {
            // Read to the end: the next reply starts over from a new reader.
            state.PauseTiming();
            http_log_readers_reply("other", LOG_VERB, now + HTTP_LOG_READER_IDLE_MS + 1);
            now += HTTP_LOG_READER_IDLE_MS + 2;
            state.ResumeTiming();
            continue;
        }
        bytes += reply.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    http_log_readers_clear();
}
BENCHMARK(BM_LogReplyFromFullStore);

}  // namespace
