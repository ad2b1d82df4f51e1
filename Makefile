# Single entry point: `make test` installs what is missing, configures,
# builds and runs every test; `make demo` runs the main job end to end.
BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# The system's own prefix: lockstepd starts the restart tool as
# /usr/bin/fdesetup, and systemd-shutdown runs hooks only from
# /usr/lib/systemd/system-shutdown.
PREFIX ?= /usr
PACKAGE_BUILD_DIR ?= build-package
# Debian's compiler and linker flags for packages, with every hardening
# feature on.
DEB_BUILDFLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags

.PHONY: all help deps configure build test test-asan demo bench build-release build-clang \
	format format-check tidy clean install uninstall package vm-test

all: build ## build everything (the default)

# One line a target: the text after "##" on its rule.
help: ## list the targets
	@awk 'BEGIN { FS = ":.*## " } /^[a-z-]+:.*## / { printf "  %-14s %s\n", $$1, $$2 }' \
	  $(MAKEFILE_LIST)

deps: ## install the Debian packages the build and the tests need
	./scripts/install-deps

configure: deps ## configure the build folder, BUILD_DIR (RelWithDebInfo)
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure ## build the programs and the tests in BUILD_DIR
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build ## build, then run every test
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: deps ## every test under AddressSanitizer and UBSan (ASAN_BUILD_DIR)
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DLOCKSTEP_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build ## run the main job end to end
	./scripts/demo $(BUILD_DIR)/lockstepd

# Every benchmark, each printing its ratios (see benchmarks/README.md); the
# whole-process one needs root and says it is skipped otherwise. Options for
# the programs go in BENCH_ARGS, e.g. BENCH_ARGS=--rounds=400.
bench: deps ## build and run the benchmarks (build-bench)
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLOCKSTEP_BUILD_BENCHMARKS=ON -DLOCKSTEP_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	./scripts/bench build-bench $(BENCH_ARGS)

# The same sources built as a Release (-O3) and with clang, warnings fatal:
# each compiler and optimisation level warns about different things.
build-release: deps ## build everything as a Release (-O3) in build-release
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build-release -j $(JOBS)

build-clang: ## build everything with clang in build-clang
	./scripts/install-deps --checks
	CXX=clang++ cmake -S . -B build-clang $(CMAKE_FLAGS)
	cmake --build build-clang -j $(JOBS)

format: ## apply .clang-format to every tracked source
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check: ## fail when a tracked source is not formatted
	./scripts/install-deps --checks
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

# Every finding of the checks in .clang-tidy fails the target.
tidy: configure ## run clang-tidy on src/ and fail on any finding
	./scripts/install-deps --checks
	git ls-files 'src/*.cpp' | xargs -P $(JOBS) -n 4 clang-tidy -p $(BUILD_DIR) --quiet \
	  --warnings-as-errors='*'

# `make install` puts lockstepd, lockstepctl, their manual pages, the systemd
# unit and tmpfiles snippet and the example preferences under PREFIX (DESTDIR
# is honoured); `make uninstall` removes what the last install recorded.
install: configure ## install the three programs and their files under PREFIX (/usr; DESTDIR honoured)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target lockstepd lockstepctl fdesetup lockstep_docs
	umask 022 && DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix $(PREFIX)

uninstall: ## remove what the last install recorded
	@if [ -f $(BUILD_DIR)/install_manifest.txt ]; then \
	  DESTDIR="$(DESTDIR)" cmake -DLOCKSTEP_MANIFEST=$(BUILD_DIR)/install_manifest.txt \
	    -P packaging/uninstall.cmake; \
	else \
	  echo "uninstall: nothing was installed from $(BUILD_DIR)"; \
	fi

# The Debian package, built with Debian's hardening flags and checked with
# lintian: $(PACKAGE_BUILD_DIR)/lockstep_<version>_<arch>.deb
package: ## build and lint the Debian package (PACKAGE_BUILD_DIR)
	./scripts/install-deps --package
	cmake -S . -B $(PACKAGE_BUILD_DIR) -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
	  -DLOCKSTEP_BUILD_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_BUILDFLAGS) --get CPPFLAGS) $$($(DEB_BUILDFLAGS) --get CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_BUILDFLAGS) --get LDFLAGS)" $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_BUILD_DIR) -j $(JOBS)
	rm -f $(PACKAGE_BUILD_DIR)/lockstep_*.deb
	cd $(PACKAGE_BUILD_DIR) && umask 022 && cpack -G DEB
	lintian --fail-on error $(PACKAGE_BUILD_DIR)/lockstep_*.deb
	@echo "package: $$(ls $(PACKAGE_BUILD_DIR)/lockstep_*.deb)"

# Fuzzing (fuzz/): builds the libFuzzer programs with clang in FUZZ_BUILD_DIR,
# then fuzzes each target for FUZZ_SECONDS, FUZZ_JOBS targets at a time
# (FUZZ_TARGETS picks some). Findings go to $(FUZZ_BUILD_DIR)/findings/.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 1
FUZZ_TARGETS ?=
.PHONY: fuzz
fuzz: ## build the fuzzers with clang and fuzz each target
	./scripts/install-deps --fuzz
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLOCKSTEP_FUZZ=ON -DLOCKSTEP_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target lockstep_fuzzers
	./fuzz/run.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_JOBS) $(FUZZ_TARGETS)

clean: ## remove the build folders
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-bench build-release build-clang $(PACKAGE_BUILD_DIR)

# The authenticated restart proven on a booting Debian 12 guest under QEMU
# (KVM when a guest really runs under it, else emulation): builds the package,
# builds and caches the guest under build-vm/ (delete it to rebuild), then
# plays the scenarios of tests/vm/vm-test over the guest's serial console.
# Not part of `make test`: it needs root and takes several minutes.
VM_DIR ?= build-vm
vm-test: package ## prove the authenticated restart on a booting Debian 12 guest (QEMU)
	./scripts/install-deps --vm
	./tests/vm/build-image $(VM_DIR)/image
	./tests/vm/vm-test --image $(VM_DIR)/image --work $(VM_DIR)/run \
	  --package "$$(ls $(PACKAGE_BUILD_DIR)/lockstep_*.deb)"
