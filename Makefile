# Wraps CMake: `make demo` builds and denoises the sample image, `make test`
# builds and runs every test, `make test-sanitize` runs them all again under
# AddressSanitizer and UndefinedBehaviorSanitizer, `make fuzz` runs the
# libFuzzer targets for a bounded time each, `make install PREFIX=/some/where`
# installs.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
FUZZ_DIR ?= build-fuzz
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Seconds of fuzzing per target.
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++

# A sanitizer finding ends the process with status 86, which no test expects.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:exitcode=86 \
	UBSAN_OPTIONS=print_stacktrace=1:exitcode=86

.PHONY: all build demo test test-sanitize fuzz install bench compare compare-speed sigma-scan clean

all: build

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: build
	$(BUILD_DIR)/bin/texture data/camera_s20.pgm 20
	@echo "Wrote data/camera_s20Result.pgm"

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Optimised with debug information so that reports name lines. The tests on
# large images run on smaller ones here (TEXTURE_SANITIZED), and of the golden
# runs on the 512 x 512 sample only the window 7 one runs (tests/CMakeLists.txt).
test-sanitize:
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEXTURE_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j $(JOBS)

fuzz:
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
		-DTEXTURE_FUZZ=ON -DTEXTURE_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	$(SANITIZER_ENV) tests/fuzz/run_fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# The programs, manual pages, headers, libraries and the CMake package
# (find_package(texture), target texture::texture) under PREFIX.
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Benchmarks of the two denoising modes at 512 x 512 and 2048 x 2048, and of
# the tree's distance and sum kernels alone.
bench: build
	$(BUILD_DIR)/bin/texture_bench
	$(BUILD_DIR)/bin/kernels_bench
	$(BUILD_DIR)/bin/leaf_bench

# Time and quality of texture, nlmeans, OpenCV and scikit-image on the sample
# and further noisy images; the table goes to build/compare.md.
compare: build
	/usr/bin/python3 bench/compare --bin $(BUILD_DIR)/bin --output $(BUILD_DIR)/compare.md

# texture against OpenCV's fastNlMeansDenoising on the sample image.
compare-speed:
	bench/compare_speed.sh

# PSNR of texture over a range of SIGMA arguments for noise of known level.
sigma-scan: build
	/usr/bin/python3 bench/sigma_scan.py $(BUILD_DIR)/bin

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
