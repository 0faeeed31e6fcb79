# Entry points. `make test` on a fresh Debian machine (as root) installs what is
# missing, builds everything and runs every test; `make demo` runs a demo install.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	scripts/run-tests.sh $(BUILD_DIR)

demo: build
	scripts/demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

# The benchmark against the peers (bench/run_bench.py); results in bench/results/.
.PHONY: bench
bench: build
	scripts/bench.sh $(BUILD_DIR)
