// Cost of the log call: a record dropped by the level filter, and the text
// file sink alone (one write per line to the OS).
#define LOG_TAG "bench"
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"

namespace {

std::string bench_file(const char *name) {
    const char *dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

// Through the macro, as every module logs.
void BM_DroppedByLevel(benchmark::State &state) {
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LOGV("dropped %d %s\n", n, "text"));
        ++n;
    }
}
BENCHMARK(BM_DroppedByLevel);

// The function itself, for callers that pass their own flags.
void BM_DroppedByLevelDirectCall(benchmark::State &state) {
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    int n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(log2_printf(nullptr, LOG_VERB, "bench", __FILE__, __LINE__, __func__,
                                             "dropped %d %s\n", n, "text"));
        ++n;
    }
}
BENCHMARK(BM_DroppedByLevelDirectCall);

// Console off, flags time|tid|func, a 60-byte formatted message.
void BM_FileSink(benchmark::State &state) {
    std::string path = bench_file("log_bench_file.log");
    log_ctx *ctx = log_ctx_process();
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    log2_ioctl(nullptr, LOG2_IOCTL_FLAG_LIST, "time|tid|func");
    ctx->console_on.store(0);
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_SIZE, 0x40000000);
    log2_ioctl(nullptr, LOG2_IOCTL_FILE, path.c_str());
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, 1);
    int n = 0;
    for (auto _ : state) {
        LOGI("session %08d accepted from 127.0.0.1 port %5d state=%s\n", n, 40000 + n % 20000, "open");
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, 0);
    unlink(path.c_str());
}
BENCHMARK(BM_FileSink);

// The floor on this machine: one write(2) of a ready line, nothing else.
void BM_RawWriteFloor(benchmark::State &state) {
    std::string path = bench_file("log_bench_raw.log");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    const char line[] =
        "2024-01-09 12:34:56.123456 INFO  1234 --- [main_ab12_1234] bench BM_FileSink(): "
        "session 00000001 accepted from 127.0.0.1 port 40001 state=open\n";
    for (auto _ : state) benchmark::DoNotOptimize(write(fd, line, sizeof line - 1));
    state.SetItemsProcessed(state.iterations());
    close(fd);
    unlink(path.c_str());
}
BENCHMARK(BM_RawWriteFloor);

}  // namespace
