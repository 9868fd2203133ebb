# Thin wrapper over CMake. Build trees live under build/ and never in the sources.
JOBS  ?= 2
BUILD ?= build/release
ASAN  ?= build/asan
DEMO  ?= build/demo
FUZZ  ?= build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps test check asan fuzz fuzz-build demo bench format clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@bash scripts/need.sh build

check: all
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure

# Every test in a plain build, each fuzz target for a few seconds, then every test again under
# AddressSanitizer + UndefinedBehaviorSanitizer.
test: check
	$(MAKE) fuzz FUZZ_SECONDS=$(if $(CI),20,10)
	$(MAKE) asan

fuzz-build:
	@bash scripts/need.sh fuzz
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_FUZZ=ON \
	    -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ) -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS; a crash input is saved under tests/fuzz/crashes/.
fuzz: fuzz-build
	bash tests/fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

demo: all
	@bash scripts/demo.sh $(BUILD) $(DEMO)

# Timings against cat, tar and sox on generated inputs (about 410 MB under build/bench).
bench: all
	@bash scripts/need.sh bench
	bash bench/run.sh $(BUILD) build/bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
