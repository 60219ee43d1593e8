# The two commands of the README:
#   make run    installs what is missing, builds and starts the application
#   make test   installs what is missing, builds and runs every test headless
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=

# CI turns every warning into an error.
ifeq ($(CI),true)
CMAKE_FLAGS += -DKESTRUE_WERROR=ON
endif

.PHONY: all run test deps build asan tsan memcheck mac-check fuzz bench bench-blackbox package package-check format tidy clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/kestrue-organizer

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)
ifeq ($(CI),true)
	$(MAKE) package-check memcheck asan mac-check
endif

# Every translation unit of the macOS build, compiled for x86_64 and arm64
# against macOS's C headers (zig's C++ compiler, fetched once with npm);
# objects only. See the README.
mac-check: build
	@command -v npm >/dev/null || scripts/install-deps.sh npm
	scripts/mac-check/check.py $(BUILD) -j$(JOBS)

# AddressSanitizer + UndefinedBehaviorSanitizer build of the same suite.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKESTRUE_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

# ThreadSanitizer build of the same suite, for the worker-thread runs. Not in
# CI. Qt is not instrumented: the allocations and copies Qt makes itself are
# ignored, and tests/tsan.supp says why and names any other report of Qt's.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUE_TSAN=ON $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && QT_QPA_PLATFORM=offscreen \
		TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp ignore_noninstrumented_modules=1 halt_on_error=1 second_deadlock_stack=1" \
		ctest --output-on-failure -j$(JOBS)

# libFuzzer targets for the manifest loader and the path rules, built with
# clang; each runs FUZZ_SECONDS. New corpus entries stay in the build folder.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	@scripts/install-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKESTRUE_FUZZ=ON -DKESTRUE_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	mkdir -p $(FUZZ_BUILD)/corpus/manifest $(FUZZ_BUILD)/corpus/paths
	$(FUZZ_BUILD)/tests/fuzz/manifest_fuzzer -max_total_time=$(FUZZ_SECONDS) \
		$(FUZZ_BUILD)/corpus/manifest tests/fuzz/corpus/manifest
	$(FUZZ_BUILD)/tests/fuzz/path_rules_fuzzer -max_total_time=$(FUZZ_SECONDS) \
		$(FUZZ_BUILD)/corpus/paths tests/fuzz/corpus/paths

# The benchmark table, from an optimised build.
BENCH_BUILD ?= build-release
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRUE_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target organizer_bench
	QT_QPA_PLATFORM=offscreen $(BENCH_BUILD)/bench/organizer_bench

# The same runs measured from outside: the release binary on Xvfb with
# accessibility on, timed from a pointer click, against bench/floor.c on an
# identical tree. REPS, ITEMS and RECORDS may be set in the environment.
bench-blackbox: deps
	@scripts/install-deps.sh xvfb xdotool libxtst-dev dbus-daemon dbus-bin at-spi2-core
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRUE_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target kestrue-organizer
	cc -O2 -std=c11 -Wall -Wextra -Wpedantic -Werror -o $(BENCH_BUILD)/floor bench/floor.c -lXtst -lX11
	bench/blackbox.sh $(BENCH_BUILD)/kestrue-organizer $(BENCH_BUILD)/floor

# The Debian package, and the checks a user's machine would make of it.
PKG_BUILD ?= build-package
package: deps
	@scripts/install-deps.sh dpkg-dev
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DKESTRUE_BUILD_TESTS=OFF -DKESTRUE_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(PKG_BUILD) -j$(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB

package-check: package
	@scripts/install-deps.sh lintian desktop-file-utils appstream
	scripts/package-check.sh $(PKG_BUILD)

# The suite once more under valgrind's memcheck.
memcheck: build
	@scripts/install-deps.sh valgrind
	scripts/memcheck.sh $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The engine's source for the other system is not built here, so not checked.
OTHER_SYSTEM := $(if $(filter Darwin,$(shell uname -s)),Linux,Mac)
tidy: build
	git ls-files 'app/*.cpp' 'engine/*.cpp' 'ui/*.cpp' ':!:engine/*$(OTHER_SYSTEM).cpp' | \
		xargs clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(PKG_BUILD)
