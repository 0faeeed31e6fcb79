# Entry points. `make test` on a fresh Debian machine (as root) installs what is
# missing, builds everything and runs every test; `make demo` runs a demo install.
# `make build DEBUG=1` keeps symbols and debug sections in the DLL (build-debug/).
# `make fuzz` builds the parsers' fuzz targets natively and runs each FUZZ_SECONDS.
ifeq ($(DEBUG),1)
BUILD_DIR ?= build-debug
BUILD_TYPE = Debug
else
BUILD_DIR ?= build
BUILD_TYPE = Release
endif
JOBS ?= $(shell nproc)

FUZZ_SECONDS ?= 60

.PHONY: all deps build test demo clean fuzz

all: build

deps:
	@scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	scripts/run-tests.sh $(BUILD_DIR)

demo: build
	scripts/demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

fuzz: deps
	scripts/fuzz.sh $(BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The benchmark against the peers (bench/run_bench.py); results in bench/results/.
.PHONY: bench
bench: build
	scripts/bench.sh $(BUILD_DIR)
