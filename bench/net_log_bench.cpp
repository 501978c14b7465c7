// Cost of the network log sinks: the log call with and without syslog over
// UDP, and the rate at which binary records leave for the UDP collector.
// Both receivers are bound loopback sockets that nobody reads: the kernel
// drops what overflows them, as a busy collector would.
#define LOG_TAG "bench"
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_udp.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "liblog/log_sink_syslog.h"

namespace {

// A UDP socket bound to a free loopback port; its port.
int udp_receiver(int *fd) {
    *fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(*fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(*fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

std::string bench_file(const char *name) {
    const char *dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

// Console off, flags time|tid|func; the file sink on when asked, as a
// running server has it.
void quiet(bool file_on) {
    log_ctx *ctx = log_ctx_process();
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    log2_ioctl(nullptr, LOG2_IOCTL_FLAG_LIST, "time|tid|func");
    ctx->console_on.store(0);
    if (file_on) {
        log2_ioctl(nullptr, LOG2_IOCTL_FILE_SIZE, 0x40000000);
        log2_ioctl(nullptr, LOG2_IOCTL_FILE, bench_file("net_log_bench.log").c_str());
    }
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, file_on ? 1 : 0);
}

void run_lines(benchmark::State &state) {
    int n = 0;
    for (auto _ : state) {
        LOGI("session %08d accepted from 127.0.0.1 port %5d state=%s\n", n, 40000 + n % 20000, "open");
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
}

// range(0): file sink on; range(1): syslog over UDP on.
void BM_LogLine(benchmark::State &state) {
    quiet(state.range(0) != 0);
    int fd = -1;
    if (state.range(1)) {
        std::string url = "udp://127.0.0.1:" + std::to_string(udp_receiver(&fd));
        log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG, url.c_str());
        log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 1);
    }
    run_lines(state);
    log2_ioctl(nullptr, LOG2_IOCTL_SYSLOG_ON, 0);
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, 0);
    log_net_close();
    if (fd >= 0) close(fd);
    unlink(bench_file("net_log_bench.log").c_str());
}
BENCHMARK(BM_LogLine)->ArgNames({"file", "syslog"})->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1});

// Records logged for the collector only (no text sinks), on one thread.
void BM_CollectorRecords(benchmark::State &state) {
    quiet(false);
    bsv_log_attach();
    bsv_udp_attach();
    int fd = -1;
    std::string url = (state.range(0) ? "udps://127.0.0.1:" : "udp://127.0.0.1:") + std::to_string(udp_receiver(&fd));
    log2_ioctl(nullptr, LOG2_IOCTL_BSVLOG, url.c_str());
    while (log_bsv_udp_opening()) usleep(1000);
    uint64_t lost = log_bsv_udp_lost();
    int n = 0;
    for (auto _ : state) {
        LOG2_AT(LOG_INFO | LOG_F_BSV_ONLY, "session %08d accepted from 127.0.0.1 port %5d state=%s\n", n,
                40000 + n % 20000, "open");
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["lost"] = static_cast<double>(log_bsv_udp_lost() - lost);
    log_bsv_udp_close();
    close(fd);
}
BENCHMARK(BM_CollectorRecords)->ArgName("udps")->Arg(0)->Arg(1);

}  // namespace
