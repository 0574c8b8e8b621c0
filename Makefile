# kel: a thin front over CMake + Ninja.
#   make          release build into build/
#   make run      build and run the demo patch examples/hello.pat in real time
#   make test     build and run every test
#   make check    clang-16 AddressSanitizer + UndefinedBehaviorSanitizer build, every test
#   make tsan     ThreadSanitizer build, the unit tests
#   make bench    run the benchmarks
#   make bench-startup  wall-clock start-up of a batch run and of a handed-over
#                 launch, median of 20 runs (scripts/bench_startup)
#   make bench-instr  instruction counts of the bench patches under callgrind
#                 (scripts/bench_instr; BENCH_INSTR_ARGS=--quick for shorter runs)
#   make fuzz     clang-16 libFuzzer build, each fuzz target briefly (FUZZ_SECONDS in all)
#   make fuzz-long  the same, FUZZ_SECONDS for every target (600 by default)
#   make format   reformat the sources with clang-format
#   make format-check   check the formatting of the lines changed since
#                 scripts/format-base, or since BASE=<commit> (scripts/check_format)

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
SETUP_STAMP := build/.setup-done

.PHONY: all build run test check tsan bench format format-check clean setup

all: build

$(SETUP_STAMP): scripts/setup
	@./scripts/setup
	@mkdir -p build && touch $@

setup: $(SETUP_STAMP)

build/build.ninja: $(SETUP_STAMP)
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: build/build.ninja
	cmake --build build -j $(JOBS)

run: build
	./build/kel examples/hello.pat

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

# The sanitizer build is clang-16's: only clang checks that each call through a
# function pointer reaches a function of that type, and a report fails the test
# (-fno-sanitize-recover). scripts/setup installs clang-16 on request; a
# build-asan/ that another compiler configured is configured again.
ASAN_CONFIGURE = CC=clang-16 CXX=clang++-16 cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	-DKEL_SANITIZE=address $(CMAKE_FLAGS)
# Stacks with names and lines; any version of the symbolizer reads clang-16's output.
SYMBOLIZER := $(shell command -v llvm-symbolizer-16 || command -v llvm-symbolizer)
.PHONY: check-setup

check-setup:
	@./scripts/setup check

build-asan/build.ninja: | check-setup
	$(ASAN_CONFIGURE)

check: check-setup build-asan/build.ninja
	@grep -q '^CMAKE_CXX_COMPILER:FILEPATH=.*clang++-16$$' build-asan/CMakeCache.txt || \
		{ rm -rf build-asan && $(ASAN_CONFIGURE); }
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(if $(SYMBOLIZER),ASAN_SYMBOLIZER_PATH=$(SYMBOLIZER)) ctest --output-on-failure -j $(JOBS)

build-tsan/build.ninja: $(SETUP_STAMP)
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE=thread $(CMAKE_FLAGS)

tsan: build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS) --target kel_unit_tests
	# ThreadSanitizer keeps its own call stack of fixed size, which a runaway
	# feedback loop on the 8 MiB main stack overflows before the depth guard
	# trips; the guard is checked on a thread of its own here, and on the main
	# thread by the other builds.
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ./build-tsan/tests/kel_unit_tests --gtest_brief=1 \
		--gtest_filter=-DepthGuard.FeedbackLoopStopsWithTheAlert

bench: build
	./build/bench/kel_bench

.PHONY: bench-startup
bench-startup: build
	./scripts/bench_startup build/kel

# Valgrind is installed on request (scripts/setup bench).
BENCH_INSTR_ARGS ?=
.PHONY: bench-instr bench-setup

bench-setup:
	@./scripts/setup bench

bench-instr: bench-setup build
	./scripts/bench_instr --no-build $(BENCH_INSTR_ARGS)

# The fuzz build needs clang-16 (libFuzzer); scripts/setup installs it on request.
FUZZ_SECONDS ?= 60
# fuzz-long gives each target FUZZ_SECONDS when it is set, ten minutes if not.
FUZZ_LONG_SECONDS := $(if $(filter command line environment,$(origin FUZZ_SECONDS)),$(FUZZ_SECONDS),600)
.PHONY: fuzz fuzz-long fuzz-setup

fuzz-setup:
	@./scripts/setup fuzz

build-fuzz/build.ninja: | fuzz-setup
	CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DKEL_SANITIZE=address -DKEL_FUZZ=ON $(CMAKE_FLAGS)

fuzz: fuzz-setup build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS) --target kel_fuzz_targets
	./tests/fuzz/run build-fuzz $(FUZZ_SECONDS)

fuzz-long: fuzz-setup build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS) --target kel_fuzz_targets
	./tests/fuzz/run --each build-fuzz $(FUZZ_LONG_SECONDS)

format:
	git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format -i

format-check:
	./scripts/check_format $(BASE)

clean:
	rm -rf build build-asan build-tsan build-fuzz
