# The two commands a newcomer needs: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=

.PHONY: all setup configure build run test test-asan package fuzz bench soak screenshot format format-check clean

all: build

setup:
	@sh scripts/bootstrap

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

run: build
	@sh scripts/bootstrap --run
	bash scripts/run

test: build
	@sh scripts/bootstrap --checks
	cd $(BUILD) && ctest --output-on-failure --timeout 300

# The Debian packages tolvaned (the service and the RIX simulator) and tolvane (the window), and their
# -dbgsym, built from debian/ by dpkg-buildpackage into build/packages; then checked: the files each
# holds, the dependencies, the unit and its maintainer scripts, and lintian --pedantic.
package:
	@sh scripts/bootstrap --package
	sh scripts/build-package $(BUILD)/packages
	sh scripts/check-package $(BUILD)/packages

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer in its own folder.
# Any report fails the run.
test-asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan
	@sh scripts/bootstrap --checks
	cd build-asan && ctest --output-on-failure --timeout 600

# Each fuzz target for FUZZ_SECONDS (60 by default), starting from the seeds in fuzz/corpus. What the
# fuzzer finds goes to build-fuzz/corpus, never into the repository.
FUZZ_SECONDS ?= 60
fuzz:
	@sh scripts/bootstrap --fuzz
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTOLVANE_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz
	sh scripts/fuzz $(FUZZ_SECONDS)

# Hours in minutes: 100 clients, a RIX that drops every connection now and then, data logging on.
SOAK_MINUTES ?= 10
soak: build
	python3 tests/soak/soak.py --minutes $(SOAK_MINUTES)
	python3 tests/soak/stall.py --minutes $(SOAK_MINUTES)

# Tolvane against haproxy and nginx on this machine; not part of `make test`.
bench: build
	@sh scripts/bootstrap --bench
	python3 bench/run.py
	python3 bench/metrics_cost.py tolvaned

# The window on a virtual display, into build/screenshot.png; UPDATE=1 retakes the README's picture.
screenshot: build
	@sh scripts/bootstrap --screenshot
	bash scripts/screenshot $(if $(UPDATE),docs/screenshot.png,$(BUILD)/screenshot.png)

# Every C++ file laid out as .clang-format says, with clang-format 14 (Debian 12's). format-check
# changes nothing: it lists the files that differ and fails when there are any; CI runs it first.
format:
	@sh scripts/bootstrap --format
	sh scripts/format

format-check:
	@sh scripts/bootstrap --format
	sh scripts/format --check

clean:
	rm -rf $(BUILD) build-asan build-fuzz
