# Convenience targets over CMake. `make test` builds everything and runs every
# test; `make sim` builds and runs rcdrive against the virtual transmitter.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRCDRIVE_WERROR=ON

.PHONY: all deps build test sim sanitize fuzz clean install bench bench-smoke

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

install: build
	cmake --install $(BUILD)

clean:
	rm -rf build build-*
