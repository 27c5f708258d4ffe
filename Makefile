# The two commands a newcomer needs: `make run` and `make test`.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_WINDOWS ?= build-windows
GEN        := -G Ninja
JOBS       ?= $(shell nproc)

.PHONY: deps configure build test test-asan test-tsan code-check soak package fresh-check run bench fuzz clean format format-check windows windows-test

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Every test but the fault soak, which takes minutes of its own (`make soak`).
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE soak

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(BUILD_ASAN) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DKELVARA_SANITIZE=ON -DKELVARA_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS) -LE soak

# The same tests under ThreadSanitizer: the session's thread against the
# front ends' (tests/tsan.supp names what is Qt's own, not ours).
test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DKELVARA_TSAN=ON -DKELVARA_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" ctest --output-on-failure -j $(JOBS) -LE soak

# The fault soak: kelvara-log against the simulated bus for two minutes while
# faults switch at random (KELVARA_SOAK_SECONDS for longer runs).
soak: build
	cd $(BUILD) && ctest --output-on-failure -L soak

# The core, kelvara-log and the Win32 window cross-built for 64-bit Windows
# (MinGW-w64) into $(BUILD_WINDOWS)/: the installer kelvara-VERSION-x64.msi
# (wixl) and the portable copy kelvara-windows-x86_64.zip.
windows: deps
	cmake -S . -B $(BUILD_WINDOWS) $(GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD_WINDOWS) -j $(JOBS)
	./scripts/windows-zip.sh $(BUILD_WINDOWS)

VERSION := $(shell sed -n "s/.*Kelvara VERSION \([0-9.]*\).*/\1/p" CMakeLists.txt)

# Under Wine: the Windows unit tests (the window's on an X display of their
# own); kelvara-log.exe against the simulated bus, line for line beside the
# Linux kelvara-log; the installer's tables, then a quiet install, upgrade and
# removal; and an operator's run of the window driven with xdotool, which
# leaves $(BUILD_WINDOWS)/screenshot-windows.png.
windows-test: windows build
	cd $(BUILD_WINDOWS) && ctest --output-on-failure -j $(JOBS)
	./scripts/windows-e2e.sh $(BUILD)/bin $(BUILD_WINDOWS)/bin
	./scripts/windows-msi-test.sh $(BUILD_WINDOWS)/kelvara-$(VERSION)-x64.msi
	./scripts/windows-gui-e2e.sh $(BUILD_WINDOWS)/bin $(BUILD_WINDOWS)/screenshot-windows.png

# The Debian package of the build, kelvara_VERSION_ARCH.deb in $(BUILD)/, and
# lintian's verdict on it: no error and no warning.
package: build
	rm -f $(BUILD)/kelvara_*.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error,warning --display-info $(BUILD)/kelvara_*.deb

# `make test` as a newcomer runs it: a brand-new Debian 12 root, a clone of the
# committed HEAD, install-deps.sh, the full build and every test. Needs root
# (sudo otherwise) and the network; takes a while.
fresh-check:
	./scripts/fresh-check.sh

run: build
	./scripts/run.sh $(BUILD)

# Benchmarks in Release, printed as one Markdown table.
bench: deps
	./scripts/bench.sh

# Every libFuzzer target for FUZZ_SECONDS each (clang, AddressSanitizer).
FUZZ_SECONDS ?= 60
fuzz: deps
	./scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) build-*

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Sizes of functions and of the front ends, and the front ends' includes.
code-check:
	python3 scripts/code-check.py

# Fails when a source file is not as .clang-format describes it.
format-check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
