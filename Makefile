# Short commands for the cross-built DLL and its Wine test suite.
#   make test   install what is missing, build, run the whole suite under Wine
#   make demo   install what is missing, build, run the whole lifecycle once
#               (DEMO_LANG=ja_JP: the UI language it switches to; de_DE by default)
#   make package  install what is missing, build, make the driver package in
#               build/release (SIGNING_CERT=vendor.p12 SIGNING_PASS_FILE=pass.txt
#               [TIMESTAMP_URL=...] sign it; without SIGNING_CERT it is unsigned)
#   make fuzz   fuzz the parsers of device-supplied text natively, FUZZ_SECONDS (60) a target
BUILD ?= build
JOBS ?= 2
MAKEFLAGS += --no-print-directory
DEMO_LANG ?= de_DE
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build test demo bench package fuzz clean

all: build

deps:
	@cmake/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target zorva_demo
	@demo/run-demo.sh $(BUILD) $(DEMO_LANG)

bench: configure
	@cmake --build $(BUILD) -j$(JOBS) --target zorva_bench
	@bench/run-bench.sh $(BUILD)

# The signing settings reach the script through its environment; the password itself only
# ever as the path of the file that holds it.
package: build
	@SIGNING_CERT="$(SIGNING_CERT)" SIGNING_PASS_FILE="$(SIGNING_PASS_FILE)" \
		TIMESTAMP_URL="$(TIMESTAMP_URL)" package/release/release.sh $(BUILD) $(BUILD)/release

fuzz: deps
	@tests/fuzz/run-fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
