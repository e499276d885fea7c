# Convenience targets over CMake. `make test` builds everything and runs every
# test; `make sim` builds and runs rcdrive against the virtual transmitter;
# `make windows` cross-builds the 32-bit Windows programs, `make windows-test`
# runs their tests under wine.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRCDRIVE_WERROR=ON

.PHONY: all deps build test sim sanitize fuzz clean install windows-deps windows windows-test bench bench-smoke

all: build

deps:
	@tools/ensure-deps.sh build

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

sim: build
	$(BUILD)/rcdrive-sim $(ARGS)

# Key-to-wire latency, line use and CPU on rcdrive-sim, measured on this
# machine: paced and unpaced at the nominal rate, paced at +-1000 ppm (about
# four minutes). bench-smoke is a short run that only proves numbers come out.
bench: build
	$(BUILD)/rcdrive-bench --presses 300 --rate-errors

bench-smoke: build
	$(BUILD)/rcdrive-bench --smoke

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DRCDRIVE_WERROR=ON -DRCDRIVE_SANITIZE=ON"

WINDOWS_BUILD ?= build-windows
WINDOWS_CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRCDRIVE_WERROR=ON

windows-deps:
	@tools/ensure-deps.sh build windows

$(WINDOWS_BUILD)/CMakeCache.txt: | windows-deps
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake $(WINDOWS_CMAKE_FLAGS)

windows: windows-deps $(WINDOWS_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

windows-test: windows
	tests/windows/run_wine_tests.sh $(WINDOWS_BUILD)

# The key decoder's fuzz target, run for FUZZ_SECONDS on a scratch copy of
# the seed corpus (the seeds in the repository stay as they are).
FUZZ_SECONDS ?= 60
fuzz:
	@tools/ensure-deps.sh build fuzz
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DRCDRIVE_FUZZ=ON -DRCDRIVE_TESTS=OFF -DRCDRIVE_WERROR=ON
	cmake --build build-fuzz --target key_decoder_fuzz -j $(JOBS)
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
	cd build-fuzz && ./key_decoder_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 corpus ../fuzz/corpus/key_decoder

install: build
	cmake --install $(BUILD)

clean:
	rm -rf build build-*
