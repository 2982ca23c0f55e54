# The two commands a newcomer needs: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=

.PHONY: all setup configure build run test bench screenshot format clean

all: build

setup:
	@sh scripts/bootstrap

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

configure: setup $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

run: build
	sh scripts/run

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 300

# Tolvane against haproxy and nginx on this machine; not part of `make test`.
bench: build
	@sh scripts/bootstrap --bench
	python3 bench/run.py

screenshot: build
	@sh scripts/bootstrap --screenshot
	bash scripts/screenshot

format:
	find src tests tools bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
