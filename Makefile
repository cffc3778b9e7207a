# Zephlin: `make` builds into build/, `make test` runs every test (plain and sanitized),
# `make run` starts the program, `make bench` runs the benchmarks.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all build deps lint test test-plain test-asan test-tsan run bench demo fuzz soak soak-tsan package test-package clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	      -DZEPHLIN_SANITIZE=address,undefined -DZEPHLIN_BENCH=OFF

test: deps lint test-plain test-asan test-tsan

# Formatting (clang-format) and the fault-finding checks of clang-tidy; see .clang-tidy.
lint: build
	scripts/check-style $(BUILD)

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# ThreadSanitizer where threads meet: the thread class, the watcher, the scheduler and the
# run with its read-ahead of the local tree.
$(TSAN_BUILD)/build.ninja:
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZEPHLIN_SANITIZE=thread \
	      -DZEPHLIN_BENCH=OFF "-DZEPHLIN_TEST_LAYERS=platform;engine;sessions"

test-tsan: $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_platform test_engine test_sessions
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -E '$(TSAN_SKIP)'

# The desktop keyring's tests run Qt's D-Bus threads, which hand events to each other inside
# Qt and glib, where the sanitizer sees none of the synchronisation; the keyring's own
# hand-over (a mutex and a condition) is covered by the plain and address-sanitized runs.
TSAN_SKIP := DesktopKeyring|RealKeyring|KeyringSettings.Desktop

# A Debian package of the installed layout (build/zephlin_*.deb).
package: build
	cmake --build $(BUILD) --target package

# As root: installs that package and runs it as an ordinary user (CI).
test-package: deps package
	scripts/test-package $(BUILD)

run: deps build
	@scripts/run

demo: deps build
	@scripts/demo $(BUILD)/zephlin

bench: deps build
	@QUICK=$(QUICK) scripts/bench $(BUILD)

# The program unattended for 10 minutes (SOAK_SECONDS) with 20 countdown sessions; not in CI.
soak: deps build
	bench/soak.py $(BUILD)/zephlin

# One minute of it with the program under ThreadSanitizer (CI).
soak-tsan: deps $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target zephlin
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  SOAK_SECONDS=60 bench/soak.py $(TSAN_BUILD)/zephlin --sanitizer

# The fuzz targets (clang, libFuzzer, in build-fuzz), FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz: deps
	@scripts/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
