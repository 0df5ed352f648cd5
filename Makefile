# Front door: `make run` serves guests on a private virtual network, `make test`
# runs every test. Both install what they need first (scripts/setup) and build.
# `make build` and `make unit` ask only for what building needs
# (scripts/setup --build), so they run without root once that is installed.
# The build configurations are the presets of CMakePresets.json.

BUILD    ?= build
ASAN     ?= build-asan
FUZZ     ?= build-fuzz
I386     ?= build-i386
I386_ASAN ?= build-i386-asan
DEB      ?= build-deb
PREFIX   ?= /usr/local
DESTDIR  ?=
CONFIG   ?= $(CURDIR)/docs/dhcpd_configuration.example
JOBS     ?= $(shell nproc)

.PHONY: all setup setup-build setup-i386 build run test unit asan system fuzz-smoke lint install bench clean deb

all: build

setup-build:
	@scripts/setup --build

setup: setup-build
	@scripts/setup

setup-i386:
	@scripts/setup --i386

build: setup-build
	@cmake --preset build -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: setup build
	@scripts/run-demo --config "$(CONFIG)" --build "$(BUILD)" $(RUNFLAGS)

# Every test: unit tests, the same under ASan+UBSan with the leak checker,
# system tests of whole processes (also with both cores kept busy), the
# daemon built for its 32-bit x86 host with its unit and system tests, short
# fuzz runs and static analysis.
test: setup setup-i386 build
	@scripts/test-all --build "$(BUILD)" --asan "$(ASAN)" --fuzz "$(FUZZ)" \
	  --deb "$(DEB)" --i386 "$(I386)" --i386-asan "$(I386_ASAN)"

unit: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

bench: setup build
	@scripts/setup --bench
	@bench/run-all --build "$(BUILD)"

# The Debian packages, checked by lintian: $(DEB)/vlm-dhcpd_VERSION_ARCH.deb
# for this machine and for the daemon's 32-bit host (i386, cross-built).
deb: setup setup-i386
	@scripts/build-deb "$(DEB)"

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ) $(I386) $(I386_ASAN) $(DEB)
