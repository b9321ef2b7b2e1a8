# The two commands of the README: `make demo` and `make test`. Both install
# what is missing (Debian packages), build, and run. `make package` builds
# the Debian package.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure -j $(JOBS)

PACKAGES := cmake make g++ pkg-config \
	libboost-system-dev libboost-thread-dev libboost-date-time-dev \
	libboost-filesystem-dev libboost-regex-dev \
	libtinyxml2-dev libsystemd-dev libgtest-dev

# What CPack needs to work out the package's dependencies.
PACKAGE_PACKAGES := dpkg-dev file

DEMO_TARGETS := tlKorvel camsim korvelctl nvrsim

.PHONY: all deps build build-asan test test-normal test-asan demo package clean

all: build

deps:
	@./scripts/install-deps.sh $(PACKAGES)

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTLKORVEL_SANITIZE=ON

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-normal: build
	cd $(BUILD) && ctest $(CTEST_ARGS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_ARGS)

test: test-normal test-asan

demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@./scripts/demo.sh $(BUILD)

package: build
	@./scripts/install-deps.sh $(PACKAGE_PACKAGES)
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
