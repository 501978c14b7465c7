// The web console: parsing one request from memory, and GET /config with
// Connection: close under wrk (requests per second, reported as req_per_s;
// wrk's "read" socket errors only count replies that end with the close).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "libhttpd/httpd.h"
#include "web_console_bench.h"

namespace {

const std::string REQUEST =
    "GET /cmd?command=show%20info&token=47110815 HTTP/1.1\r\nHost: 127.0.0.1:12580\r\n"
    "User-Agent: Mozilla/5.0\r\nAccept: */*\r\nAuthorization: Basic YWRtaW46c2VjcmV0\r\n"
    "Accept-Encoding: gzip, deflate\r\nSec-Fetch-Site: same-origin\r\n\r\n";

void BM_ReadRequest(benchmark::State &state) {
    for (auto _ : state) {
        httpd_request *r = httpd_request_new(OS_SOCKET_NONE, "127.0.0.1:5000");
        net_sock_init_memory(&r->stream);
        net_write(&r->stream, REQUEST.data(), REQUEST.size());
        if (httpdReadRequest(r) != 0) state.SkipWithError("request not read");
        benchmark::DoNotOptimize(r->path);
        httpd_request_free(r);
    }
}
BENCHMARK(BM_ReadRequest);

int console_port() { return web_console_bench_port(); }

void wrk_run(benchmark::State &state, const char *path) {
    int port = console_port();
    if (port == 0) {
        state.SkipWithError("console did not start");
        return;
    }
    const int seconds = std::getenv("HUBD_BENCH_SECONDS") ? std::atoi(std::getenv("HUBD_BENCH_SECONDS")) : 5;
    for (auto _ : state) {
        std::string cmd = "wrk -t2 -c" + std::to_string(state.range(0)) + " -d" + std::to_string(seconds) +
                          "s -H 'Connection: close' 'http://127.0.0.1:" + std::to_string(port) + path + "' 2>&1";
        FILE *f = popen(cmd.c_str(), "r");
        if (!f) {
            state.SkipWithError("wrk cannot run");
            return;
        }
        char line[512];
        double rps = -1;
        while (std::fgets(line, sizeof line, f)) std::sscanf(line, "Requests/sec: %lf", &rps);
        pclose(f);
        if (rps < 0) {
            state.SkipWithError("wrk gave no figure");
            return;
        }
        state.counters["req_per_s"] = rps;
    }
}

void BM_ConfigWrk(benchmark::State &state) { wrk_run(state, "/config"); }
BENCHMARK(BM_ConfigWrk)->Arg(50)->Arg(200)->Iterations(1)->Unit(benchmark::kSecond);

void BM_CmdEchoWrk(benchmark::State &state) { wrk_run(state, "/cmd?command=echo%20x"); }
BENCHMARK(BM_CmdEchoWrk)->Arg(50)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
