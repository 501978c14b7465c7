// Cost of binary log records on the log call, and how fast the pipe server
// streams them to a reader that only drains the FIFO (cat >/dev/null).
#define LOG_TAG "bench"
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "libbsv/bsv_log.h"
#include "libbsv/bsv_reg.h"
#include "libdbg/bsv_pipe_srv.h"
#include "libpal/memory/rbuf.h"
#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"

namespace {

// Every text sink off, flags time|tid|func: what remains is formatting and
// whatever the binary layer adds.
void quiet_log() {
    log_ctx *ctx = log2_init(nullptr);
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    log2_ioctl(nullptr, LOG2_IOCTL_FLAG_LIST, "time|tid|func");
    ctx->console_on.store(0);
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, 0);
}

void log_loop(benchmark::State &state) {
    int n = 0;
    for (auto _ : state) {
        LOGI("session %08d accepted from 127.0.0.1 port %5d state=%s\n", n, 40000 + n % 20000, "open");
        ++n;
    }
    state.SetItemsProcessed(state.iterations());
}

// Today's text-only path: no binary layer attached.
void BM_LogCall_TextOnly(benchmark::State &state) {
    quiet_log();
    log2_attach_bin(nullptr);
    log_loop(state);
}
BENCHMARK(BM_LogCall_TextOnly);

// The record is encoded, but nobody reads it.
void BM_LogCall_WithRecord_NoReader(benchmark::State &state) {
    quiet_log();
    bsv_log_attach();
    log_loop(state);
    log2_attach_bin(nullptr);
}
BENCHMARK(BM_LogCall_WithRecord_NoReader);

// The record is encoded and copied into one reader's ring (the pipe server's case).
void BM_LogCall_WithRecord_OneReader(benchmark::State &state) {
    quiet_log();
    bsv_log_attach();
    bsv_reader *reader = bsv_open_log();
    log_loop(state);
    bsv_close(reader, 1);
    log2_attach_bin(nullptr);
}
BENCHMARK(BM_LogCall_WithRecord_OneReader);

void BM_BsvLogEncode(benchmark::State &state) {
    uint8_t rec[BSV_LOG_REC_MAXN];
    for (auto _ : state) {
        benchmark::DoNotOptimize(bsv_log_encode(rec, LOG_INFO, "main", __FILE__, __LINE__, __func__,
                                                "session 00000001 accepted from 127.0.0.1 port 40001 state=open\n"));
    }
}
BENCHMARK(BM_BsvLogEncode);

// Logs 400000 records at a paced rate while "cat FIFO >/dev/null" reads the
// pipe server's stream; counts the records the server took out of its ring
// and those the ring dropped because the server fell behind.
void BM_PipeServerToCat(benchmark::State &state) {
    quiet_log();
    bsv_log_attach();
    if (debug_bsv_pipe_srv_init("bench") != 0) {
        state.SkipWithError("pipe server did not start");
        return;
    }
    std::string fifo = debug_bsv_pipe_name();
    pid_t cat = fork();
    if (cat == 0) {
        execlp("sh", "sh", "-c", ("exec cat " + fifo + " >/dev/null").c_str(), nullptr);
        _exit(127);
    }
    // A probe record, so that the stream is up before the clock starts.
    LOGI("warm up\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    constexpr int records = 400000;
    uint64_t delivered = 0, dropped = 0;
    rbuf_stats before{}, after{};
    debug_bsv_pipe_srv_ring(&before);
    double seconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        // Paced at the argument's records per second (0: as fast as one thread logs).
        const double per_record = state.range(0) ? 1.0 / static_cast<double>(state.range(0)) : 0.0;
        for (int n = 0; n < records; ++n) {
            LOGI("session %08d accepted from 127.0.0.1 port %5d state=%s\n", n, 40000 + n % 20000, "open");
            if (per_record > 0 && n % 256 == 255) {
                // Sleep rather than spin: on a small machine the spinning logger would starve the server.
                std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                          std::chrono::duration<double>(n * per_record)));
            }
        }
        // Wait for the server to empty its ring.
        for (int i = 0; i < 5000; ++i) {
            if (debug_bsv_pipe_srv_ring(&after) && after.queued == 0) break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        debug_bsv_pipe_srv_ring(&after);
        dropped = after.drop_count - before.drop_count;
        delivered = after.write_count - before.write_count - dropped;
    }
    state.counters["records_per_s"] = static_cast<double>(delivered) / seconds;
    state.counters["dropped"] = static_cast<double>(dropped);
    debug_bsv_pipe_srv_exit();
    kill(cat, SIGTERM);
    waitpid(cat, nullptr, 0);
    log2_attach_bin(nullptr);
}
BENCHMARK(BM_PipeServerToCat)->Arg(200000)->Arg(400000)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
