# Thin wrapper around CMake. Every target first makes sure the Debian packages are there.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
MAKEFLAGS += --no-print-directory

.PHONY: all setup configure build demo test unit-tests test-asan test-tsan test-fuzz fuzz bench install-lv2 install-vst3 install-clap clean

# Sanitizer and fuzzing builds: configurations of the same project in their own folders.
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 45
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS ?= halt_on_error=1

all: build

setup:
	@tools/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The main job: the bundled loop through every factory preset into out/, with an overview picture
# and a picture of the editor.
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quennet-render demo-material editor-art
	@tools/demo.sh $(BUILD_DIR) out

# Every test: the normal build, then AddressSanitizer with UndefinedBehaviorSanitizer over the
# whole suite (bar the tests in real hosts, LV2 and others, whose hosts are not instrumented),
# ThreadSanitizer over the tests that run threads, and a bounded run of every fuzz target.
test: unit-tests test-asan test-tsan test-fuzz

unit-tests: build
	@cd $(BUILD_DIR) && ctest -j $(JOBS) --output-on-failure --timeout 600

test-asan: setup
	@cmake -S . -B $(ASAN_DIR) -DQUENNET_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	@cd $(ASAN_DIR) && ctest -j $(JOBS) --output-on-failure --timeout 900 -LE "lv2|hosts|slow"

test-tsan: setup
	@cmake -S . -B $(TSAN_DIR) -DQUENNET_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_DIR) -j $(JOBS) --target tests-threads
	@cd $(TSAN_DIR) && ctest -j $(JOBS) --output-on-failure --timeout 900 -L threads

test-fuzz: setup
	@cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUENNET_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers
	@tools/run-fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# Longer fuzzing sessions: make fuzz FUZZ_SECONDS=3600
fuzz: FUZZ_SECONDS = 600
fuzz: test-fuzz

bench: build
	@tools/setup.sh bench
	@cmake --build $(BUILD_DIR) --target run-benchmarks

# The LV2 bundle into ~/.lv2 (or LV2_INSTALL_DIR), where every LV2 host looks. Builds only what the
# bundle needs (optimised: the build's default type), and installs the module without its debug data.
install-lv2: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quennet_lv2_bundle
	@dest="$${LV2_INSTALL_DIR:-$$HOME/.lv2}"; \
	mkdir -p "$$dest" && rm -rf "$$dest/quennet.lv2" && cp -R $(BUILD_DIR)/quennet.lv2 "$$dest/" && \
	strip --strip-unneeded "$$dest/quennet.lv2/quennet.so" && \
	echo "Installed quennet.lv2 into $$dest"

# The VST3 bundle into ~/.vst3 (or VST3_INSTALL_DIR), where every VST3 host on Linux looks. Builds
# only what the bundle needs (optimised: the build's default type), and installs the module without
# its debug data.
install-vst3: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quennet_vst3_bundle
	@dest="$${VST3_INSTALL_DIR:-$$HOME/.vst3}"; \
	mkdir -p "$$dest" && rm -rf "$$dest/quennet.vst3" && cp -R $(BUILD_DIR)/quennet.vst3 "$$dest/" && \
	for so in "$$dest"/quennet.vst3/Contents/*-linux/quennet.so; do strip --strip-unneeded "$$so" || exit 1; done && \
	echo "Installed quennet.vst3 into $$dest"

# The CLAP plug-in into ~/.clap/Quennet (or CLAP_INSTALL_DIR/Quennet): quennet.clap and the editor's
# artwork beside it. Builds only what it needs and installs the module without its debug data.
install-clap: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target quennet_clap_bundle
	@dest="$${CLAP_INSTALL_DIR:-$$HOME/.clap}/Quennet"; \
	mkdir -p "$$dest" && rm -rf "$$dest"/* && cp -R $(BUILD_DIR)/clap/. "$$dest/" && \
	strip --strip-unneeded "$$dest/quennet.clap" && \
	echo "Installed quennet.clap into $$dest"

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR)
