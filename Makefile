# Single entry point: `make test` installs what is missing, configures,
# builds and runs every test; `make demo` runs the main job end to end.
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test test-asan demo bench format tidy clean

all: build

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DLOCKSTEP_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build
	./scripts/demo $(BUILD_DIR)/lockstepd

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLOCKSTEP_BUILD_BENCHMARKS=ON -DLOCKSTEP_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	./scripts/bench build-bench

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

tidy: configure
	git ls-files 'src/*.cpp' | xargs clang-tidy -p $(BUILD_DIR) --quiet

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-bench
