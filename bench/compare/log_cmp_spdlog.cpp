// The spdlog side of the log comparison, with the same arguments and output
// as log_cmp_hubd: a basic_file_sink_mt flushed after every line, with a
// pattern that gives HUBD's file line (date, time in microseconds, level
// padded to five, pid, thread, tag, function, message).
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

void run_writer(spdlog::logger *log, int lines) {
    for (int n = 0; n < lines; ++n) {
        log->info("session {:08d} accepted from 127.0.0.1 port {:5d} state={}", n, 40000 + n % 20000, "open");
    }
}

int file_case(const char *path, int threads, int lines) {
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true);
    auto log = std::make_shared<spdlog::logger>("bench", sink);
    log->set_pattern("%Y-%m-%d %H:%M:%S.%f INFO  %P --- [writer_ab12_%t] bench run_writer(): %v");
    log->set_level(spdlog::level::info);
    log->flush_on(spdlog::level::trace);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) writers.emplace_back(run_writer, log.get(), lines);
    for (auto &w : writers) w.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.0f\n", threads * static_cast<double>(lines) / seconds);
    return 0;
}

int dropped_case(long records) {
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>("/dev/null", false);
    spdlog::logger log("bench", sink);
    log.set_level(spdlog::level::info);
    auto start = std::chrono::steady_clock::now();
    for (long n = 0; n < records; ++n) {
        log.debug("dropped {} {}", n, "text");
        asm volatile("" : : : "memory");
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
