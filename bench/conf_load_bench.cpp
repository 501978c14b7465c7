// Loading a large configuration file: the time must grow with the number of
// keys, not with its square (200,000 keys once took half a minute).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "libconf/conf.h"

namespace {

std::string write_keys(long keys) {
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/conf_load_bench_" + std::to_string(keys) + ".ini";
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return {};
    // Ten sections of keys, so that sections and keys both count.
    for (long i = 0; i < keys; ++i) {
        if (i % (keys / 10 ? keys / 10 : 1) == 0) std::fprintf(f, "[section%ld]\n", i);
        std::fprintf(f, "key%ld = value %ld\n", i, i);
    }
    std::fclose(f);
    return path;
}

void BM_LoadKeys(benchmark::State &state) {
    std::string path = write_keys(state.range(0));
    if (path.empty()) {
        state.SkipWithError("cannot write the file");
        return;
    }
    for (auto _ : state) {
        ConfHandle *h = conf_open(path.c_str());
        if (!h) {
            state.SkipWithError("the file did not load");
            break;
        }
        benchmark::DoNotOptimize(conf_get_str(h, "section0:key0", nullptr));
        conf_close(h);
    }
    state.SetComplexityN(state.range(0));
    std::remove(path.c_str());
}
BENCHMARK(BM_LoadKeys)->RangeMultiplier(10)->Range(10000, 1000000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace
