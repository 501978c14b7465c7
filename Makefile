# Front door: `make run` and `make test` do all the set-up themselves.
JOBS  ?= $(shell nproc)
BUILD ?= build
ASAN  ?= build-asan
TSAN  ?= build-tsan
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

.PHONY: all deps build run test test-plain test-asan tsan bench bench-compare fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

# Builds only the program it runs, not the test suite.
run: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target hubd
	$(BUILD)/src/opt/hubd/hubd

test: test-plain test-asan

test-plain: build
	cd $(BUILD) && ctest $(CTEST_FLAGS)

test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DHUBD_SANITIZE=address,undefined
	cmake --build $(ASAN) -j$(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

# ThreadSanitizer runs the tests labelled for it (concurrency tests).
tsan: deps
	cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=Debug -DHUBD_SANITIZE=thread
	cmake --build $(TSAN) -j$(JOBS)
	cd $(TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS) -R 'Concurrent|Stress|Tsan'

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DHUBD_BENCH=ON -DHUBD_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	for b in build-bench/bench/*_bench; do $$b; done

# HUBD against spdlog (file log) and Redis (shell round trip, idle sessions);
# installs those two peers itself. ROUNDS= sets the number of alternating rounds.
ROUNDS ?= 5
bench-compare: deps
	bash scripts/bench-compare.sh --rounds $(ROUNDS)

FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHUBD_FUZZ=ON -DHUBD_TESTS=OFF -DHUBD_SANITIZE=address,undefined
	cmake --build build-fuzz -j$(JOBS)
	@bash scripts/run-fuzz.sh build-fuzz/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) build-bench build-fuzz
