# Convenience targets over CMake. `make sim` builds rcdrive-sim alone and runs
# it against the virtual transmitter; `make test` builds everything and runs
# every test; `make install`, `make uninstall`, `make package` and
# `make windows-dist` install, remove and package the programs; `make windows` cross-builds the 32-bit Windows
# programs, `make windows-test` runs their tests under wine (the 64-bit build,
# `make windows64`, where this machine cannot run 32-bit code).

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRCDRIVE_WERROR=ON
PROGRAMS = rcdrive rcdrive-sim rcdrive-monitor

# `make install PREFIX=/opt/rcdrive DESTDIR=/tmp/stage`: PREFIX replaces the
# configured prefix (/usr/local), DESTDIR is put in front of it.
PREFIX ?=
DESTDIR ?=

.PHONY: all build programs test sim sanitize fuzz clean install uninstall package \
        windows windows64 windows-test windows-dist bench bench-smoke kernel-test mutants

all: build

# A build folder is configured once. Its tests are configured only by the
# targets that build them, so that the programs alone need no GoogleTest:
#   $(call configure,DIR,FLAGS)        configures DIR unless it is configured
#   $(call configure_tests,DIR,FLAGS)  makes sure DIR is configured with its tests
configure = [ -f $(1)/CMakeCache.txt ] || cmake -S . -B $(1) $(2) -DRCDRIVE_TESTS:BOOL=OFF
configure_tests = grep -qx 'RCDRIVE_TESTS:BOOL=ON' $(1)/CMakeCache.txt 2>/dev/null || \
                  cmake -S . -B $(1) $(2) -DRCDRIVE_TESTS:BOOL=ON

build:
	@scripts/ensure-deps.sh build test
	@$(call configure_tests,$(BUILD),$(CMAKE_FLAGS))
	cmake --build $(BUILD) -j $(JOBS)

# The three programs and their manual pages, nothing else.
programs:
	@scripts/ensure-deps.sh build
	@$(call configure,$(BUILD),$(CMAKE_FLAGS))
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS) rcdrive-man

# A run that found no test fails: it is no pass.
test: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# The build shows its progress without make's directory lines, which would
# only be cleared away. Ending the simulator is no failure, whether by a quit
# key (0) or Ctrl+C (130); anything else is passed on.
sim:
	@scripts/ensure-deps.sh build
	@$(call configure,$(BUILD),$(CMAKE_FLAGS))
	@cmake --build $(BUILD) -j $(JOBS) --target rcdrive-sim -- --no-print-directory
	@status=0; $(BUILD)/rcdrive-sim $(ARGS) || status=$$?; [ $$status -eq 130 ] || exit $$status

install: programs
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) $(if $(PREFIX),--prefix "$(PREFIX)")

# Removes exactly the files the last `make install` from $(BUILD) put, as
# CMake listed them, under the same DESTDIR, and then rcdrive's own folders
# if that leaves them empty.
uninstall:
	@[ -f $(BUILD)/install_manifest.txt ] || { echo "nothing installed from $(BUILD)" >&2; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do \
	    rm -fv -- "$(DESTDIR)$$file"; \
	    case $$file in */rcdrive/*) echo "$(DESTDIR)$${file%/*}" ;; esac; \
	done <$(BUILD)/install_manifest.txt | sort -u | while IFS= read -r line; do \
	    case $$line in "removed "*) echo "$$line" ;; *) rmdir -- "$$line" 2>/dev/null || true ;; esac; \
	done
	@rm -f $(BUILD)/install_manifest.txt

# The Debian package, built in a folder of its own for the prefix /usr:
# $(PACKAGE_BUILD)/rcdrive_<version>-<revision>_<arch>.deb. GoogleTest is kept out even
# where it is installed, so that the package build shows it needs none.
PACKAGE_BUILD ?= build-package
package:
	@scripts/ensure-deps.sh build package
	@$(call configure,$(PACKAGE_BUILD),$(CMAKE_FLAGS) --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB

# Key-to-wire latency, line use and CPU on rcdrive-sim, measured on this
# machine: paced and unpaced at the nominal rate, paced at +-1000 ppm and on a
# chip 2500 ppm slow (about five minutes). bench-smoke is a short run that only proves numbers come out.
bench: build
	$(BUILD)/rcdrive-bench --presses 300 --rate-errors

bench-smoke: build
	$(BUILD)/rcdrive-bench --smoke

# rcdrive under the kernel's own FTDI driver: Debian's kernel in QEMU with
# emulated FT232R chips (under a minute, no KVM needed).
kernel-test: build
	@scripts/ensure-deps.sh kernel-test
	tests/kernel/run.sh $(BUILD)

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DRCDRIVE_WERROR=ON -DRCDRIVE_SANITIZE=ON"

WINDOWS_BUILD ?= build-windows
WINDOWS_CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRCDRIVE_WERROR=ON
WINDOWS_TOOLCHAIN = -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake

windows:
	@scripts/ensure-deps.sh build windows windows-test
	@$(call configure_tests,$(WINDOWS_BUILD),$(WINDOWS_TOOLCHAIN) $(WINDOWS_CMAKE_FLAGS))
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# The same programs and tests for 64-bit Windows, for testing alone: the wine
# tests run them where 32-bit code cannot run. Nothing of it is handed out.
WINDOWS64_BUILD ?= build-windows64
windows64:
	@scripts/ensure-deps.sh build windows64 windows-test
	@$(call configure_tests,$(WINDOWS64_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake $(WINDOWS_CMAKE_FLAGS))
	cmake --build $(WINDOWS64_BUILD) -j $(JOBS)

# Tries a 32-bit program under wine first, and builds and runs the 64-bit
# build (make windows64) only if that cannot run; RCDRIVE_WINE64=1 takes the
# 64-bit path anyway.
windows-test: windows
	+tests/windows/run_wine_tests.sh $(WINDOWS_BUILD) $(WINDOWS64_BUILD)

# The zip for Windows users: $(WINDOWS_BUILD)/rcdrive-<version>-win32.zip.
windows-dist:
	@scripts/ensure-deps.sh build windows
	@$(call configure,$(WINDOWS_BUILD),$(WINDOWS_TOOLCHAIN) $(WINDOWS_CMAKE_FLAGS))
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target windows-zip

# The key decoder's fuzz target, run for FUZZ_SECONDS on a scratch copy of
# the seed corpus (the seeds in the repository stay as they are).
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/ensure-deps.sh build fuzz
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DRCDRIVE_FUZZ=ON -DRCDRIVE_TESTS=OFF -DRCDRIVE_WERROR=ON
	cmake --build build-fuzz --target key_decoder_fuzz -j $(JOBS)
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus
	cd build-fuzz && ./key_decoder_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 corpus ../fuzz/corpus/key_decoder

# Mutation testing: each mutant of tests/mutants.txt applied to a scratch copy
# in build-mutants/, built and run against the fast suite (those of Windows
# code against the wine tests); about 30 minutes on 2 cores.
mutants:
	@scripts/ensure-deps.sh build test mutants windows windows-test
	scripts/mutants.py --jobs $(JOBS)

clean:
	rm -rf build build-*
