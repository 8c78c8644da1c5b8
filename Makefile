# SPDX-License-Identifier: ISC
# Thin wrapper around CMake. Every target first makes sure the Debian packages are there.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
MAKEFLAGS += --no-print-directory

.PHONY: all setup configure build demo test unit-tests test-asan test-tsan test-fuzz fuzz bench bench-capped \
        install-lv2 install-vst3 install-clap clean format setup-arm64 arm64-native-doubles test-arm64 test-arm64-ci

# Sanitizer and fuzzing builds: configurations of the same project in their own folders.
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
ARM64_DIR ?= build-arm64
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
# ThreadSanitizer over the tests that run threads, a bounded run of every fuzz target, and the aarch64 build of
# the engine, the plug-in, the renderer and the LV2 bundle with a few of their tests under qemu.
# (The aarch64 part and the capped benchmarks only where the machine is an x86-64 one.)
ifeq ($(shell uname -m),x86_64)
X86_64_ONLY_TESTS = test-arm64-ci
X86_64_ONLY_BENCH = bench-capped
endif
test: unit-tests test-asan test-tsan test-fuzz $(X86_64_ONLY_TESTS)

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

# Lays out every C and C++ source as .clang-format says (a unit test checks that they are).
format: setup
	@git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format-14 -i

bench: build
	@tools/setup.sh bench
	@cmake --build $(BUILD_DIR) --target run-benchmarks
	@$(if $(X86_64_ONLY_BENCH),$(MAKE) $(X86_64_ONLY_BENCH),true)

# What CPUs without AVX-512 (cap AVX2) and without AVX (cap SSE2) get: the vector units benchmark
# again in builds whose x86 dispatch stops at that unit (only the engine's files differ).
BENCH_CAPS ?= AVX2 SSE2
bench-capped: setup
	@for cap in $(BENCH_CAPS); do \
	  dir=$(BUILD_DIR)-cap-$$cap; \
	  cmake -S . -B $$dir -DQUENNET_VECTOR_CAP=$$cap $(CMAKE_FLAGS) >/dev/null && \
	  cmake --build $$dir -j $(JOBS) --target vector_units_bench && \
	  $$dir/bench/core/vector_units_bench || exit 1; \
	done

# The aarch64 build: Debian's cross compiler and the arm64 libraries through multiarch
# (tools/setup.sh arm64); qemu-user runs its generators and its tests. Its renders of every factory
# preset, at double precision, are compared with this machine's (tests/arch).
ARM64_CONFIGURE = cmake -S . -B $(ARM64_DIR) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	-DQUENNET_NATIVE_DOUBLES=$(abspath $(ARM64_DIR))/x86_64-preset-doubles.bin $(CMAKE_FLAGS)
ARM64_CTEST = ctest --output-on-failure --timeout 1800
# Tests that hand the aarch64 bundle to a program of this machine, which cannot load it: jalv,
# jalv.gtk3, Ardour (LV2 and VST3) and lv2file (the lilv, VST3 and CLAP hosts of our own, linked for
# aarch64, stand in for them), and quennet-jack on this machine's JACK server. Qtractor's test is not
# built there.
# Also left out: a case that qemu-user cannot show, since it runs posix_spawn's vfork as a fork, so
# a program that cannot be started comes back as a child that exits 127, not as a spawn error.
ARM64_NOT_EMULATED = ^(JalvTest|JalvGtkTest|ArdourTest|Lv2fileTest|ArdourVST3Test|ArdourVST3GuiTest|QuennetJackTest)\.|^BrowserLauncher\.AMissingProgramIsAFailureNotAChild$$
# The subset in `make test` (about two minutes of emulation): the powers kernels, every factory
# preset against the per-sample reference, the renderer program against the processing call, and
# the LV2 bundle loaded, run and restored by lilv; with the renders against this machine's.
ARM64_CI_TARGETS = PowerBlock_test quennet.process_reference_test preset_doubles_test quennet_render_test lilv_host_test
ARM64_CI_TESTS = ^(PowerBlock\.|QuennetProcessReference\.EveryFactoryPreset|QuennetRenderTest\.(RenderEqualsTheProcessingCall|MidiEventsLandOnTheFrames)|LilvHostTest\.)
# The renders against this machine's, run directly so that their table (max difference per
# preset) shows; ctest leaves it out.
ARM64_PRESET_TABLE = qemu-aarch64 $(ARM64_DIR)/tests/arch/preset_doubles_test --gtest_brief=1

setup-arm64:
	@tools/setup.sh arm64

arm64-native-doubles: setup-arm64 configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target render-preset-doubles
	@mkdir -p $(ARM64_DIR)
	@$(BUILD_DIR)/tests/arch/render-preset-doubles $(ARM64_DIR)/x86_64-preset-doubles.bin

# The whole aarch64 suite (bar ARM64_NOT_EMULATED), after the table of x86-64 against aarch64.
test-arm64: arm64-native-doubles
	@$(ARM64_CONFIGURE) >/dev/null
	@cmake --build $(ARM64_DIR) -j $(JOBS)
	@$(ARM64_PRESET_TABLE)
	@cd $(ARM64_DIR) && $(ARM64_CTEST) -j $(JOBS) -E '$(ARM64_NOT_EMULATED)|^PresetDoubles\.'

test-arm64-ci: arm64-native-doubles
	@$(ARM64_CONFIGURE) >/dev/null
	@cmake --build $(ARM64_DIR) -j $(JOBS) --target $(ARM64_CI_TARGETS)
	@$(ARM64_PRESET_TABLE)
	@cd $(ARM64_DIR) && $(ARM64_CTEST) -j $(JOBS) -R '$(ARM64_CI_TESTS)'

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
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) $(ARM64_DIR) $(addprefix $(BUILD_DIR)-cap-,$(BENCH_CAPS))
