# Set-up, build and tests on a fresh Debian machine: `make demo`, `make test`.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
PREFIX ?= /opt/brova-csv-sender
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

DEB_PACKAGES := cmake g++ make pkg-config libpugixml-dev libcurl4-openssl-dev libcpp-httplib-dev \
	python3 python3-aiosmtpd googletest libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev file openssl \
	systemd lintian
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# The process tests read the service's metrics file with Debian's Prometheus text parser.
DEB_PACKAGES += python3-prometheus-client

# Only `make fuzz` needs these: the compiler and runtime of the libFuzzer build.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := splitter config soapreply osstatus osreplies batchformat simbatch

# Only `make windows-deps` needs these: the cross compiler and Wine.
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix wine64

.PHONY: deps deps-fuzz deps-windows windows-deps windows build test test-plain test-asan test-tsan test-windows bench demo install package clean fuzz

deps:
	@missing=""; \
	for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		$(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi

deps-fuzz: deps
	@missing=""; \
	for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		$(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS)

test: test-plain package test-asan test-tsan test-windows

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

# The micro benchmarks, then the side-by-side end-to-end run and its table of goals.
bench: build
	@set -e; for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; \
	bench/run_side_by_side.sh

demo: build
	scripts/demo.sh

install: build
	cmake --install build --prefix $(PREFIX)

# build/brova-csv-sender_VERSION_ARCH.deb, then what it holds and what it depends on.
# The Windows build's libraries, from Debian's source packages, into build-windows/deps.
deps-windows:
	@missing=""; \
	for p in $(WINDOWS_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		$(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

windows-deps: deps-windows
	packaging/windows/build-deps.sh

# build-windows/BrovaCSVSender.exe, cross-built with mingw-w64: one static executable.
windows: windows-deps
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=packaging/windows/mingw-w64.cmake \
		-DCMAKE_BUILD_TYPE=Release
	cmake --build build-windows -j$(JOBS)

# The process tests that also run on the Windows executable. The fault shim stands in front of
# the Linux C library, which Wine calls on the executable's behalf: its write, close and rename
# faults and a full tmpfs reach the Windows calls, its kill points and sync faults name calls
# Wine does not make. Left out as well: the notify protocol's and the unit's tests (systemd's),
# the planted links (Wine shows a Linux link as the file it names), and the host and collection
# tests, which start the Linux executable themselves.
WINDOWS_PROCESS_TESTS := ^(Pipeline\.(SmsFile|ResultMail|FiftyFiles)|AfterPartOne/ChangedClaimedFile\.|RecordsKept\.|Identifiers\.|ScaleOut\.|AtEveryPoint/CutOffFile\..*/InsideASend|Collection/FaultProcess\..*/(Write|Close|Rename|FullTmpfs))

# The Windows build under Wine: its unit tests, then the process tests of the Linux build run
# against the Windows executable (WINDOWS_PROCESS_TESTS) with the Linux simulator and mail sink,
# then the service manager's round (install, start, a file, pause, continue, stop, uninstall).
test-windows: windows build
	packaging/windows/wine-session.sh ctest --test-dir build-windows $(CTEST_FLAGS)
	packaging/windows/wine-session.sh env BROVA_TEST_SERVICE_EXE=$(CURDIR)/build-windows/BrovaCSVSender.exe \
		BROVA_TEST_LAUNCHER=/usr/lib/wine/wine64 \
		ctest --test-dir build $(CTEST_FLAGS) -R '$(WINDOWS_PROCESS_TESTS)'
	packaging/windows/wine-session.sh packaging/windows/service_test.sh build-windows/BrovaCSVSender.exe

package: build
	cd build && cpack
	@for deb in build/brova-csv-sender_*.deb; do \
		echo "== $$deb"; dpkg-deb -c "$$deb"; echo "Depends: $$(dpkg-deb -f "$$deb" Depends)"; \
	done

# Each fuzz target under libFuzzer with ASan and UBSan for FUZZ_SECONDS, seeded from a scratch
# copy of fuzz/corpus/<name>/ so the seeds in the repository stay as they are. Findings are left
# in build-fuzz/run/<name>/artifacts/.
fuzz: deps-fuzz
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
		-DBROVA_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@set -e; for t in $(FUZZ_TARGETS); do \
		run=build-fuzz/run/$$t; rm -rf $$run; mkdir -p $$run/corpus $$run/artifacts; \
		cp fuzz/corpus/$$t/* $$run/corpus/; \
		echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
		build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
			-artifact_prefix=$$run/artifacts/ $$run/corpus; \
	done

clean:
	rm -rf build build-asan build-tsan build-fuzz build-windows
