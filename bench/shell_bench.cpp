// Cost of one short line through the interpreter into a memory session.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "libsh/libsh.h"

namespace {

struct sink {
    std::string text;
};

int sink_write(void *out, const char *text, size_t len) {
    static_cast<sink *>(out)->text.append(text, len);
    return static_cast<int>(len);
}

int sink_print(void *out, const char *fmt, ...) {
    char buf[8192];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return n < 0 ? n : sink_write(out, buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

int sink_flush(void *) { return 0; }

void BM_EchoLine(benchmark::State &state) {
    libsh_init();
    sink out;
    shell_ctx ctx{};
    ctx.out = &out;
    ctx.print = sink_print;
    ctx.write = sink_write;
    ctx.flush = sink_flush;
    for (auto _ : state) {
        out.text.clear();
        benchmark::DoNotOptimize(libsh_exec_line(&ctx, "echo a b c"));
    }
    if (out.text != "a b c\n") state.SkipWithError("unexpected output");
    libsh_exit();
}
BENCHMARK(BM_EchoLine);

}  // namespace
