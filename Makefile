# Thin wrapper around CMake. Every target first makes sure the Debian packages are there.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup configure build test bench clean

all: build

setup:
	@tools/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest -j $(JOBS) --output-on-failure --timeout 600

bench: build
	@tools/setup.sh bench
	@cmake --build $(BUILD_DIR) --target run-benchmarks

clean:
	rm -rf $(BUILD_DIR)
