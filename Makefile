# Convenience targets over CMake. `make test` builds everything and runs every
# test; `make sim` builds and runs rcdrive against the virtual transmitter.

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRCDRIVE_WERROR=ON

.PHONY: all deps build test sim sanitize fuzz clean install

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

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DRCDRIVE_WERROR=ON -DRCDRIVE_SANITIZE=ON"

install: build
	cmake --install $(BUILD)

clean:
	rm -rf build build-*
