# Front door: `make run` and `make test` do all the set-up themselves.
JOBS  ?= $(shell nproc)
BUILD ?= build
ASAN  ?= build-asan
TSAN  ?= build-tsan
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

.PHONY: all deps build run test test-plain test-asan test-install tsan bench bench-compare fuzz install deb clean

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

# The package test checks the package of `make deb` too.
test: deb test-plain test-asan test-install

test-plain: build
	cd $(BUILD) && ctest $(CTEST_FLAGS)

test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DHUBD_SANITIZE=address,undefined
	cmake --build $(ASAN) -j$(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

# The framework as another project uses it: `make install` into a temporary
# folder, then examples/echo and a one-file program built against it and run.
test-install: deps
	bash scripts/check-install.sh

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

# The program, its configuration, unit, man page, logrotate snippet and the
# Wireshark files under PREFIX (the configuration under /etc for /usr), and the
# framework for other projects (headers, static libraries, the CMake package
# hubd and hubd.pc), into DESTDIR. The build is the default one without the
# tests, so that every target an install rule names has been built.
PREFIX  ?= /usr/local
DESTDIR ?=
install: deps
	cmake -S . -B build-install -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHUBD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build build-install -j$(JOBS)
	DESTDIR=$(DESTDIR) cmake --install build-install

# The Debian package, built with dpkg-buildpackage from a copy of the tree
# in $(DEB_DIR), so that nothing is written beside the tree; the version is
# the program's (project() in CMakeLists.txt). The .deb lands in $(DEB_DIR).
DEB_DIR ?= build-deb
DEB_VERSION := $(shell grep '^project' CMakeLists.txt | grep -o 'VERSION [0-9.]*' | cut -d' ' -f2)
deb: deps
	rm -rf $(DEB_DIR) && mkdir -p $(DEB_DIR)/hubd-$(DEB_VERSION)
	tar -cf - --exclude='./build*' --exclude='./.git' --exclude='./obj-*' --exclude='./$(DEB_DIR)' . | \
	  tar -xf - -C $(DEB_DIR)/hubd-$(DEB_VERSION)
	sed 's/@VERSION@/$(DEB_VERSION)/' debian/changelog.in > $(DEB_DIR)/hubd-$(DEB_VERSION)/debian/changelog
	cd $(DEB_DIR)/hubd-$(DEB_VERSION) && dpkg-buildpackage -b -us -uc -j$(JOBS)
	lintian --fail-on error $(DEB_DIR)/hubd_$(DEB_VERSION)_amd64.deb

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) build-bench build-fuzz build-install build-deb
