# The two commands of the README: `make demo` and `make test`. Both install
# what is missing (Debian packages), build, and run. `make bench` measures
# the service beside a plain relay (not part of the test run).

BUILD      ?= build
ASAN_BUILD ?= build-asan
RELEASE_BUILD ?= build-release
JOBS       ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure -j $(JOBS)

PACKAGES := cmake make g++ pkg-config \
	libboost-system-dev libboost-thread-dev libboost-date-time-dev \
	libboost-filesystem-dev libboost-regex-dev \
	libtinyxml2-dev libsystemd-dev libgtest-dev
BENCH_PACKAGES := socat
BENCH_ARGS ?=

.PHONY: all deps build build-asan test test-normal test-asan demo bench clean

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

demo: build
	cp examples/tlKorvel.xml $(BUILD)/src/host/tlKorvel.xml
	@echo "tlKorvel runs in the foreground; operators connect to 127.0.0.1:55272. Ctrl-C stops it."
	@echo "Its log is $(BUILD)/src/host/tlKorvel.log"
	$(BUILD)/src/host/tlKorvel -d

# Release build of the service and the load generator; a check of the
# bench's own bookkeeping; then every scenario. The table goes to standard
# output and bench/results/latest.txt.
bench:
	@./scripts/install-deps.sh $(PACKAGES) $(BENCH_PACKAGES)
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DTLKORVEL_BENCH=ON
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target tlKorvel korvelbench bench_harness_tests
	$(RELEASE_BUILD)/bench/bench_harness_tests --gtest_brief=1
	$(RELEASE_BUILD)/bench/korvelbench --service $(RELEASE_BUILD)/src/host/tlKorvel \
		--out bench/results/latest.txt $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD)
