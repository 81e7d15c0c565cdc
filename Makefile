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
BUILD ?= build
ARM64_BUILD = $(BUILD)/arm64
JOBS ?= 2
MAKEFLAGS += --no-print-directory
DEMO_LANG ?= de_DE
DEMO_ARCH ?= x64

.PHONY: all deps configure build test demo bench package clean

all: build

deps:
	@cmake/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/clang-aarch64-w64-mingw32.cmake \
		-DCMAKE_BUILD_TYPE=Release -DZORVA_X64_DLL=$(abspath $(BUILD))/ZORVA_KT2HX-x64.dll >/dev/null

# The ARM64 package holds the x64 library too: x64 first.
build: configure
	@cmake --build $(BUILD) -j$(JOBS)
	@cmake --build $(ARM64_BUILD) -j$(JOBS)

# Both suites run, whichever fails.
test: build
	@status=0; \
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS) || status=1; \
	ctest --test-dir $(ARM64_BUILD) --output-on-failure -j$(JOBS) || status=1; \
	exit $$status

# DEMO_ARCH=arm64: the same story with the ARM64 build, in arm64 Wine (the ARM64 package holds
# the x64 library too: both are built).
demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target zorva_demo
	@if [ "$(DEMO_ARCH)" = arm64 ]; then cmake --build $(ARM64_BUILD) -j$(JOBS) --target zorva_demo; fi
	@demo/run-demo.sh $(if $(filter arm64,$(DEMO_ARCH)),$(ARM64_BUILD),$(BUILD)) $(DEMO_LANG)

bench: configure
	@cmake --build $(BUILD) -j$(JOBS) --target zorva_bench
	@bench/run-bench.sh $(BUILD)

# The signing settings reach the script through its environment; the password itself only
# ever as the path of the file that holds it.
package: build
	@SIGNING_CERT="$(SIGNING_CERT)" SIGNING_PASS_FILE="$(SIGNING_PASS_FILE)" \
		TIMESTAMP_URL="$(TIMESTAMP_URL)" package/release/release.sh $(BUILD) $(BUILD)/release

clean:
	rm -rf $(BUILD)
