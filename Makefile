# Set-up, build and tests on a fresh Debian machine: `make demo`, `make test`.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PREFIX ?= /opt/brova-csv-sender
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

DEB_PACKAGES := cmake g++ make pkg-config libpugixml-dev libcurl4-openssl-dev libcpp-httplib-dev \
	python3 python3-aiosmtpd googletest libgtest-dev libgmock-dev libbenchmark-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build test test-plain test-asan test-tsan bench demo install clean

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		$(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS)

test: test-plain test-asan test-tsan

test-plain: build
	ctest --test-dir build $(CTEST_FLAGS)

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBROVA_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan $(CTEST_FLAGS)

# The threading tests under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DBROVA_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan $(CTEST_FLAGS)

bench: build
	@set -e; for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; \
	if [ -x bench/run_e2e.sh ]; then bench/run_e2e.sh; fi

demo: build
	scripts/demo.sh

install: build
	cmake --install build --prefix $(PREFIX)

clean:
	rm -rf build build-asan build-tsan
