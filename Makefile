# Short commands for users; CMake does the work.
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
DEB_BUILD ?= build-deb
FUZZ_BUILD ?= build-fuzz
COVERAGE_BUILD ?= build-coverage
FUZZ_SECONDS ?= 300

DEB_PACKAGES := build-essential cmake pkg-config libusb-1.0-0-dev libhidapi-dev \
	libcurl4-openssl-dev zlib1g-dev libzmq3-dev libczmq-dev libgtest-dev libgmock-dev \
	libbenchmark-dev clang libclang-rt-14-dev llvm umockdev libumockdev-dev \
	libglib2.0-dev python3 openssl iproute2 util-linux nlohmann-json3-dev \
	debhelper dpkg-dev lintian mandoc man-db bash-completion

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build check test test-normal test-asan test-tsan test-deb install bench clean demo deb fuzz fuzz-build fuzz-merge coverage

all: build

# Installs only what is missing; the package lists are refreshed only then.
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	else echo "All build dependencies are installed."; fi

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The edit-compile-test loop: the normal build's unit tests, a minute or two.
check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

# The full bar: every test of the normal, the sanitizer and the thread
# sanitizer builds.
test: deps
	$(MAKE) test-normal
	$(MAKE) test-asan
	$(MAKE) test-tsan
	$(MAKE) test-deb

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# clang with AddressSanitizer + UndefinedBehaviorSanitizer; also builds and runs the fuzzers.
test-asan:
	CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON -DUPDATER_FUZZ=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The device library's tests under ThreadSanitizer.
test-tsan:
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DUPDATER_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L tsan

# Fuzzing campaigns, not part of test: every target for FUZZ_SECONDS on a
# corpus kept in $(FUZZ_BUILD)/corpus (FUZZ_CORPUS elsewhere), one line per
# target. fuzz-merge minimises that corpus into fuzz/corpus. The build is the
# one the sanitizer tests use, so edge counts compare with theirs.
fuzz-build:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON -DUPDATER_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers updater_program corvantis-sim
	fuzz/make-seeds $(FUZZ_BUILD)/fuzz-seeds $(FUZZ_BUILD)/updater $(FUZZ_BUILD)/corvantis-sim

fuzz: deps
	$(MAKE) fuzz-build
	fuzz/campaign --seconds $(FUZZ_SECONDS) $(FUZZ_BUILD)

fuzz-merge:
	$(MAKE) fuzz-build
	fuzz/campaign --merge $(FUZZ_BUILD)

# Line coverage (llvm-cov): of each layer from the unit tests, and of each
# parser's file from its fuzz corpus alone.
coverage: deps
	CC=clang CXX=clang++ cmake -S . -B $(COVERAGE_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  "-DCMAKE_C_FLAGS=-fprofile-instr-generate -fcoverage-mapping" \
	  "-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping" \
	  "-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate"
	cmake --build $(COVERAGE_BUILD) -j $(JOBS)
	tools/coverage-report $(COVERAGE_BUILD)

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && [ -f "$$b" ] && "$$b"; done; true

# The main job against simulated devices and a local update server; installs
# what is missing first, like test.
demo: deps
	$(MAKE) build
	tools/demo $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package (debian/, debhelper), built from a copy of the tree in
# $(DEB_BUILD)/src so that the package files land in $(DEB_BUILD) and the
# tree stays clean; lintian must find no errors in it.
deb: deps
	rm -rf $(DEB_BUILD)/src $(DEB_BUILD)/updater_* $(DEB_BUILD)/updater-dbgsym_*
	mkdir -p $(DEB_BUILD)/src
	tar -c --exclude-vcs --exclude='./build*' --exclude='./$(DEB_BUILD)' -f - . | tar -x -C $(DEB_BUILD)/src -f -
	cd $(DEB_BUILD)/src && dpkg-buildpackage -b -uc -us
	lintian --fail-on error $(DEB_BUILD)/updater_*.changes

# The package as a user gets it: unpacked, its updater, its manual pages
# and the demo against its programs.
test-deb: deb
	tests/packaging/check-deb $(DEB_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(DEB_BUILD) $(FUZZ_BUILD) $(COVERAGE_BUILD)
