// The HUBD side of the log comparison. Usage:
//   log_cmp_hubd file <path> <threads> <lines per thread>   -> lines per second
//   log_cmp_hubd dropped <records>                            -> ns per dropped record
// The file line is the sink's own layout; the peer harness reproduces it.
#define LOG_TAG "bench"
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "liblog/log2.h"
#include "liblog/log2_ctl.h"
#include "liblog/log_ctx.h"
#include "libpal/env/thread_name.h"

namespace {

void run_writer(int lines) {
    os_thread_name_set("writer");
    for (int n = 0; n < lines; ++n) {
        LOGI("session %08d accepted from 127.0.0.1 port %5d state=%s\n", n, 40000 + n % 20000, "open");
    }
}

int file_case(const char *path, int threads, int lines) {
    log_ctx *ctx = log_ctx_process();
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    log2_ioctl(nullptr, LOG2_IOCTL_FLAG_LIST, "time|tid|func");
    ctx->console_on.store(0);
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_SIZE, 0x7fffffff);
    if (log2_ioctl(nullptr, LOG2_IOCTL_FILE, path) != 0) return 1;
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, 1);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) writers.emplace_back(run_writer, lines);
    for (auto &w : writers) w.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    log2_ioctl(nullptr, LOG2_IOCTL_FILE_ON, 0);
    std::printf("%.0f\n", threads * static_cast<double>(lines) / seconds);
    return 0;
}

int dropped_case(long records) {
    log2_ioctl(nullptr, LOG2_IOCTL_LEVEL, LOG_INFO);
    log_ctx_process()->console_on.store(0);
    auto start = std::chrono::steady_clock::now();
    for (long n = 0; n < records; ++n) {
        int r = LOGV("dropped %ld %s\n", n, "text");
        asm volatile("" : : "r"(r) : "memory");
    }
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f\n", ns / static_cast<double>(records));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "file") == 0) return file_case(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "dropped") == 0) return dropped_case(std::atol(argv[2]));
    std::fprintf(stderr, "usage: %s file <path> <threads> <lines> | dropped <records>\n", argv[0]);
    return 2;
}
