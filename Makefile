# Thin wrapper over CMake for the usual habits.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build test demo package asan bench fuzz clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The demo needs snapagent and the plug-in only, not the tests.
demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target snapagent
	$(BUILD)/snapagent demo

# The Debian package, snapclient_<version>_<arch>.deb in $(BUILD), from the
# installed files only (the tests are not built for it).
package: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target snapagent manpage
	cd $(BUILD) && cpack -G DEB

# Release build of the benchmark programs in their own folder, then the
# driver: one table, $(BENCH_BUILD)/bench-results/latest.json and the plot;
# BENCH_UPDATE=1 writes them to bench/results instead. BENCH_ARGS=--quick
# runs small sizes for development; BENCH_ARGS=--huge runs 10^8 against 10^7
# alone.
BENCH_BUILD ?= build-bench
BENCH_ARGS ?=
BENCH_UPDATE ?=
bench:
	scripts/install-deps bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DSNAPCLIENT_TESTS=OFF -DSNAPCLIENT_BENCH=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_programs
	python3 -m unittest discover -q -s bench -p 'test_*.py'
	BENCH_UPDATE=$(BENCH_UPDATE) python3 bench/run.py --build $(BENCH_BUILD) $(BENCH_ARGS)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DSNAPCLIENT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

# libFuzzer targets (clang) with ASan and UBSan: each runs FUZZ_SECONDS on
# a working copy of its checked-in seeds (fuzz/corpus/<target>, never
# written); a finding stops the run and is kept in build-fuzz/findings.
# FUZZ_TARGETS=fuzz_map_file picks some. Inputs may grow to hold 4 KiB
# names: many of them for the SnapDiff batches, a few elsewhere.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
FUZZ_TARGETS ?= $(patsubst fuzz/%.cpp,%,$(wildcard fuzz/fuzz_*.cpp))
fuzz:
	scripts/install-deps fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DSNAPCLIENT_FUZZ=ON -DSNAPCLIENT_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	mkdir -p $(FUZZ_BUILD)/findings
	set -e; for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target; \
	  case $$target in fuzz_snapdiff_batches) len=262144;; fuzz_name_*) len=16384;; *) len=65536;; esac; \
	  $(FUZZ_BUILD)/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -max_len=$$len \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$$target- \
	    $(FUZZ_BUILD)/corpus/$$target fuzz/corpus/$$target; \
	done

clean:
	rm -rf build build-asan build-bench build-fuzz
