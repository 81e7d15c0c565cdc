# Short commands for the cross-built DLL and its Wine test suite, for x64 (in $(BUILD)) and
# for ARM64 (in $(BUILD)/arm64, with a toolchain and an arm64 Wine that the first configure
# makes from Debian's packages and caches outside the tree).
#   make test   install what is missing, build, run the whole suite under Wine, x64 then ARM64
#   make demo   install what is missing, build, run the whole lifecycle once
#               (DEMO_LANG=ja_JP: the UI language it switches to; de_DE by default;
#               DEMO_ARCH=arm64: with the ARM64 build in arm64 Wine)
#   make package  install what is missing, build, make the driver package in
#               build/release (SIGNING_CERT=vendor.p12 SIGNING_PASS_FILE=pass.txt
#               [TIMESTAMP_URL=...] sign it; without SIGNING_CERT it is unsigned)
#   make fuzz   fuzz the parsers of device-supplied text natively, FUZZ_SECONDS (60) a target
BUILD ?= build
JOBS ?= 2
MAKEFLAGS += --no-print-directory
DEMO_LANG ?= de_DE
FUZZ_SECONDS ?= 60
DEMO_ARCH ?= x64

# Paths and settings reach the commands as data, through the environment, never pasted into
# a shell line: a value with blanks, quotes, `$` or backticks is taken as it was given
# ($(value) keeps make from expanding a `$` in it) and runs nothing. The variables
# themselves are not exported, since make would expand them on the way.
export ZORVA_BUILD := $(value BUILD)
export ZORVA_DEMO_LANG := $(value DEMO_LANG)
export ZORVA_DEMO_ARCH := $(value DEMO_ARCH)
export ZORVA_SIGNING_CERT := $(value SIGNING_CERT)
export ZORVA_SIGNING_PASS_FILE := $(value SIGNING_PASS_FILE)
export ZORVA_TIMESTAMP_URL := $(value TIMESTAMP_URL)
export ZORVA_FUZZ_SECONDS := $(value FUZZ_SECONDS)
unexport BUILD DEMO_LANG DEMO_ARCH SIGNING_CERT SIGNING_PASS_FILE TIMESTAMP_URL FUZZ_SECONDS

.PHONY: all deps configure build test demo bench package fuzz clean

all: build

deps:
	@cmake/install-deps.sh

# The ARM64 tree's compiler flags name the toolchain it was configured with: when
# cmake/aarch64-sysroot.sh makes another one (a new pin or recipe), the tree is configured
# afresh, and everything in it built again with the new one.
configure: deps
	@cmake -S . -B "$$ZORVA_BUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release >/dev/null
	@config=$$(cmake/aarch64-sysroot.sh) && cache="$$ZORVA_BUILD/arm64/CMakeCache.txt" && \
	if [ -f "$$cache" ] && ! grep -qxF "ZORVA_CLANG_CONFIG:FILEPATH=$$config" "$$cache"; then \
		echo "The aarch64 toolchain changed: configuring $$ZORVA_BUILD/arm64 afresh"; \
		rm -rf -- "$$cache" "$$ZORVA_BUILD/arm64/CMakeFiles"; \
	fi
	@cmake -S . -B "$$ZORVA_BUILD/arm64" -DCMAKE_TOOLCHAIN_FILE=cmake/clang-aarch64-w64-mingw32.cmake \
		-DCMAKE_BUILD_TYPE=Release \
		-DZORVA_X64_DLL="$$(realpath -m -- "$$ZORVA_BUILD")/ZORVA_KT2HX-x64.dll" >/dev/null

# The ARM64 package holds the x64 library too: x64 first.
build: configure
	@cmake --build "$$ZORVA_BUILD" -j$(JOBS)
	@cmake --build "$$ZORVA_BUILD/arm64" -j$(JOBS)

# Both suites run, whichever fails.
test: build
	@status=0; \
	ctest --test-dir "$$ZORVA_BUILD" --output-on-failure -j$(JOBS) || status=1; \
	ctest --test-dir "$$ZORVA_BUILD/arm64" --output-on-failure -j$(JOBS) || status=1; \
	exit $$status

# DEMO_ARCH=arm64: the same story with the ARM64 build, in arm64 Wine (the ARM64 package holds
# the x64 library too: both are built).
demo: configure
	@cmake --build "$$ZORVA_BUILD" -j$(JOBS) --target zorva_demo
	@if [ "$$ZORVA_DEMO_ARCH" = arm64 ]; then \
		cmake --build "$$ZORVA_BUILD/arm64" -j$(JOBS) --target zorva_demo && \
		tools/demo/run-demo.sh "$$ZORVA_BUILD/arm64" "$$ZORVA_DEMO_LANG"; \
	else tools/demo/run-demo.sh "$$ZORVA_BUILD" "$$ZORVA_DEMO_LANG"; fi

# x64, then ARM64 under emulation (its figures labelled so, without goals).
bench: configure
	@cmake --build "$$ZORVA_BUILD" -j$(JOBS) --target zorva_bench
	@cmake --build "$$ZORVA_BUILD/arm64" -j$(JOBS) --target zorva_bench
	@tools/bench/run-bench.sh "$$ZORVA_BUILD"
	@tools/bench/run-bench.sh "$$ZORVA_BUILD/arm64"

# The signing settings reach the script through its environment; the password itself only
# ever as the path of the file that holds it.
package: build
	@SIGNING_CERT="$$ZORVA_SIGNING_CERT" SIGNING_PASS_FILE="$$ZORVA_SIGNING_PASS_FILE" \
		TIMESTAMP_URL="$$ZORVA_TIMESTAMP_URL" \
		package/release/release.sh "$$ZORVA_BUILD" "$$ZORVA_BUILD/release"

fuzz: deps
	@tests/fuzz/run-fuzz.sh "$$ZORVA_BUILD/fuzz" "$$ZORVA_FUZZ_SECONDS"

clean:
	rm -rf -- "$$ZORVA_BUILD"
