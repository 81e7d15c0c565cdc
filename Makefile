# Short commands for the cross-built DLL and its Wine test suite.
#   make test   install what is missing, build, run the whole suite under Wine
#   make demo   install what is missing, build, run the whole lifecycle once
BUILD ?= build
JOBS ?= 2

.PHONY: all deps configure build test clean

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

clean:
	rm -rf $(BUILD)
