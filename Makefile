# Short commands for the cross-built DLL and its Wine test suite, for x64 (in $(BUILD)) and
# for ARM64 (in $(BUILD)/arm64, with a toolchain and an arm64 Wine that the first run makes
# from Debian's packages and caches outside the tree, in $ZORVA_CACHE_DIR, else
# /var/cache/zorva-kt2hx when writable, else ~/.cache/zorva-kt2hx). JOBS (2): parallel jobs.
#   make test   install what is missing, build, run the whole suite under Wine, x64 then ARM64
#               (the fuzz targets only briefly)
#   make demo   install what is missing, build both trees, run the whole lifecycle once
#               (DEMO_LANG=ja_JP: the UI language it switches to; de_DE by default;
#               DEMO_ARCH=arm64: with the ARM64 build in arm64 Wine)
#   make package  install what is missing, build, make the driver package in
#               build/release, signed with SIGNING_CERT=vendor.p12 SIGNING_PASS_FILE=pass.txt,
#               or with a key on a token: SIGNING_PKCS11_MODULE=module.so
#               SIGNING_KEY='pkcs11:...' SIGNING_CERT=vendor.pem SIGNING_PASS_FILE=pin.txt;
#               [SIGNING_CHAIN=...] [TIMESTAMP_URL='...'] [TIMESTAMP_CA=...]
#               [TIMESTAMP_TIMEOUT=...] (package/release/release.py); without SIGNING_CERT
#               it is unsigned
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
export ZORVA_JOBS := $(value JOBS)
export ZORVA_DEMO_LANG := $(value DEMO_LANG)
export ZORVA_DEMO_ARCH := $(value DEMO_ARCH)
export ZORVA_SIGNING_CERT := $(value SIGNING_CERT)
export ZORVA_SIGNING_PASS_FILE := $(value SIGNING_PASS_FILE)
export ZORVA_SIGNING_PKCS11_MODULE := $(value SIGNING_PKCS11_MODULE)
export ZORVA_SIGNING_KEY := $(value SIGNING_KEY)
export ZORVA_SIGNING_CHAIN := $(value SIGNING_CHAIN)
export ZORVA_TIMESTAMP_URL := $(value TIMESTAMP_URL)
export ZORVA_TIMESTAMP_CA := $(value TIMESTAMP_CA)
export ZORVA_TIMESTAMP_TIMEOUT := $(value TIMESTAMP_TIMEOUT)
export ZORVA_FUZZ_SECONDS := $(value FUZZ_SECONDS)
unexport BUILD JOBS DEMO_LANG DEMO_ARCH SIGNING_CERT SIGNING_PASS_FILE SIGNING_PKCS11_MODULE \
	SIGNING_KEY SIGNING_CHAIN TIMESTAMP_URL TIMESTAMP_CA TIMESTAMP_TIMEOUT FUZZ_SECONDS

.PHONY: all deps configure build test demo bench package fuzz clean

all: build

deps:
	@cmake/install-deps.sh

# Both trees, in cmake/trees.sh: the x64 tree's work runs while the aarch64 toolchain and
# the arm64 Wine root are made (once, into a cache outside the tree) in the background.
configure build test demo bench: deps
	@cmake/trees.sh $@

# The signing settings reach the script through its environment; the PIN or password itself
# only ever as the path of the file that holds it.
package: build
	@SIGNING_CERT="$$ZORVA_SIGNING_CERT" SIGNING_PASS_FILE="$$ZORVA_SIGNING_PASS_FILE" \
		SIGNING_PKCS11_MODULE="$$ZORVA_SIGNING_PKCS11_MODULE" SIGNING_KEY="$$ZORVA_SIGNING_KEY" \
		SIGNING_CHAIN="$$ZORVA_SIGNING_CHAIN" TIMESTAMP_URL="$$ZORVA_TIMESTAMP_URL" \
		TIMESTAMP_CA="$$ZORVA_TIMESTAMP_CA" TIMESTAMP_TIMEOUT="$$ZORVA_TIMESTAMP_TIMEOUT" \
		package/release/release.py "$$ZORVA_BUILD" "$$ZORVA_BUILD/release"

fuzz: deps
	@tests/fuzz/run-fuzz.sh "$$ZORVA_BUILD/fuzz" "$$ZORVA_FUZZ_SECONDS"

clean:
	rm -rf -- "$$ZORVA_BUILD"
