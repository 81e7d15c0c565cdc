# Short commands for the cross-built DLL and its Wine test suite.
#   make test   install what is missing, build, run the whole suite under Wine
#   make demo   install what is missing, build, run the whole lifecycle once
#               (DEMO_LANG=ja_JP: the UI language it switches to; de_DE by default)
BUILD ?= build
JOBS ?= 2
MAKEFLAGS += --no-print-directory
DEMO_LANG ?= de_DE

.PHONY: all deps configure build test demo bench clean

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

clean:
	rm -rf $(BUILD)
