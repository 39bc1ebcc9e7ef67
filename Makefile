# Wraps CMake: `make demo` builds and denoises the sample image, `make test`
# builds and runs every test, `make install PREFIX=/some/where` installs.
BUILD_DIR ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo test install bench compare compare-speed sigma-scan clean

all: build

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

demo: build
	$(BUILD_DIR)/bin/texture data/camera_s20.pgm 20
	@echo "Wrote data/camera_s20Result.pgm"

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The programs, manual pages, headers, libraries and the CMake package
# (find_package(texture), target texture::texture) under PREFIX.
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Benchmarks of the two denoising modes at 512 x 512 and 2048 x 2048.
bench: build
	$(BUILD_DIR)/bin/texture_bench

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
	rm -rf $(BUILD_DIR)
