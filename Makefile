# The two commands of the README: `make demo` and `make test`. Both install
# what is missing (Debian packages), build, and run. `make package` builds
# the Debian package, `make test-system` tries it in a booted Debian
# container, `make test-failover` on two, a standby with keepalived taking
# over from the other (both part of `make test`); `make fuzz` runs every fuzz target for longer;
# `make bench` measures the service beside a plain relay, `make soak` runs it
# for SOAK_MINUTES against misbehaving peers (neither is part of the test
# run); `make model SECONDS=600` runs the service against its reference
# model on random runs for that much CPU time (`make test` runs a fixed
# number of steps). `make windows` cross-builds the Windows service and operator
# client, `make windows-zip` packs them, `make test-windows` tries them
# under Wine (part of `make test`).

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
RELEASE_BUILD ?= build-release
WINDOWS_BUILD ?= build-windows
JOBS       ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure -j $(JOBS)

# Fuzz targets (fuzz/), with the longest input each takes, and how long each
# runs: briefly in `make test`, longer in `make fuzz`.
FUZZERS           := operator_message configuration nvr_library nvr_simulator pelco
MAX_LEN_operator_message := 1025
MAX_LEN_configuration    := 8192
MAX_LEN_nvr_library      := 4096
MAX_LEN_nvr_simulator    := 4096
MAX_LEN_pelco            := 1024
TEST_FUZZ_SECONDS ?= 10
FUZZ_SECONDS      ?= 300

# The tests whose code runs on several threads (NVR workers, library
# callbacks, the I/O loop and its helpers, the audit writer), for the
# ThreadSanitizer build.
THREADED_TESTS := client_tests camera_tests tlapi_tests ops_tests \
	$(if $(wildcard tests/nvr/CMakeLists.txt),nvr_tests)
empty :=
space := $(empty) $(empty)

# ---------------------------------------------------------------- packages
# The Debian packages, each named once, grouped by what needs them.

# What every build runs.
BUILD_TOOLS := cmake make ninja-build

# The Linux build: compilers, libraries, and the manual pages' converter.
PACKAGES := $(BUILD_TOOLS) g++ pkg-config \
	libboost-system-dev \
	libtinyxml2-dev libsystemd-dev libgtest-dev libpam0g-dev libcrypt-dev \
	clang lld libclang-rt-14-dev go-md2man

# What the operations view's tests run: promtool (in the prometheus
# package) on /metrics, and a headless browser on the status page; the
# directory accounts' test: PAM and the name service wrapped (pam_matrix as
# the directory).
TEST_PACKAGES := prometheus chromium libpam-wrapper libnss-wrapper

# What CPack needs to work out the package's dependencies.
PACKAGE_PACKAGES := dpkg-dev file

# What the container tests of the package need: systemd-nspawn, a root file
# system made with debootstrap, and lintian.
SYSTEM_PACKAGES := systemd-container debootstrap lintian

# What the failover test needs besides them: ip for the bridge, the network
# namespaces and their links (keepalived runs in the containers, whose root
# file system has it as the package recommends it).
FAILOVER_PACKAGES := iproute2

# The bench's directory scenario wraps PAM and the name service as the
# directory test does.
BENCH_PACKAGES := socat libpam-wrapper libnss-wrapper

# The Windows build: mingw-w64 (its posix flavour) and Boost's headers; Wine
# for its test, which finds Wine's service manager with pgrep (procps).
WINDOWS_PACKAGES := libboost-dev g++-mingw-w64-x86-64-posix
WINE_PACKAGES := wine wine64 procps

FORMAT_PACKAGES := clang-format

# What each make target needs installed, NEEDS_<target>. A goal without an
# entry needs the Linux build's packages.
NEEDS_demo    := $(PACKAGES)
NEEDS_package := $(PACKAGES) $(PACKAGE_PACKAGES)
NEEDS_bench   := $(PACKAGES) $(BENCH_PACKAGES)
NEEDS_soak    := $(NEEDS_bench)
NEEDS_windows := $(BUILD_TOOLS) $(WINDOWS_PACKAGES)
NEEDS_windows-zip := $(NEEDS_windows)
NEEDS_format  := $(FORMAT_PACKAGES)
NEEDS_clean   :=

# The stages of `make test`, in the order they start, and what each needs.
# A new stage is its target added to TEST_TARGETS, and NEEDS_<target> naming
# what it needs (a group of its own above for new packages): `make test`
# installs those with the rest, before any stage starts. Its recipe adds
# "NAME PASSED FAILED" to $(RESULTS), NAME being the target without "test-"
# (or the names in STAGES_<target>), and the target depends on `deps`,
# directly or through a build, for when it runs alone.
TEST_TARGETS := test-normal test-asan test-tsan test-fuzz test-system test-failover test-windows
NEEDS_test-normal  := $(PACKAGES) $(TEST_PACKAGES)
NEEDS_test-asan    := $(PACKAGES) $(TEST_PACKAGES)
NEEDS_test-tsan    := $(PACKAGES)
NEEDS_test-fuzz    := $(PACKAGES)
NEEDS_test-system  := $(NEEDS_package) $(SYSTEM_PACKAGES)
NEEDS_test-failover := $(NEEDS_package) $(SYSTEM_PACKAGES) $(FAILOVER_PACKAGES)
NEEDS_test-windows := $(PACKAGES) $(NEEDS_windows) $(WINE_PACKAGES)
NEEDS_test := $(foreach target,$(TEST_TARGETS),$(NEEDS_$(target)))

# What the goals of this make command need, installed by `deps` in one
# apt-get transaction before anything that needs them starts.
Needs = $(if $(filter undefined,$(origin NEEDS_$(1))),$(PACKAGES),$(NEEDS_$(1)))
GOAL_PACKAGES := $(sort $(foreach goal,$(or $(MAKECMDGOALS),all),$(call Needs,$(goal))))

DEMO_TARGETS := tlKorvel camsim korvelctl nvrsim

BENCH_ARGS ?=

WINDOWS_TARGETS := tlKorvel korvelctl
WINE_TEST_TOOLS := korvelctl camsim nvrsim
# The Windows side's own: a sender of any control request (Wine's sc has no "control").
WINE_TEST_WINDOWS_TOOLS := sc-control
# Further settings of the Windows build's first configure (docs/windows.md).
WINDOWS_CMAKE_ARGS ?=

.PHONY: all deps build build-asan build-tsan build-fuzz test test-normal test-asan test-tsan \
	test-fuzz test-system test-failover fuzz demo package bench model soak format clean windows windows-zip test-windows

all: build

# Inside `make test`, which installed what every stage needs before starting
# them, nothing is left to install.
deps:
ifndef TEST_PIPELINE
	@./scripts/install-deps.sh $(GOAL_PACKAGES)
endif

# In `make test`, a step that fails notes it in $(RESULTS), so that the
# summary can say why the stages after it did not run:
# COMMAND $(call NoteFailure,WHAT). Elsewhere the command stands alone.
NoteFailure = $(if $(TEST_PIPELINE),|| { echo "step failed: $(1)" >> $(RESULTS); exit 1; })

# The test builds keep line tables only (-g1): enough for every backtrace and
# sanitizer report, and a good part cheaper to compile than full debug
# information. Configure a folder of your own for a debugger's full view.
LINE_TABLES := -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_DEBUG="-g1"

# The folders made here compile several sources of a target as one (a unity
# build): Asio's and GoogleTest's headers are then read once per batch rather
# than once per file, which roughly halves a build from scratch. A batch takes
# up to 16 files, so that each target is one. Names at file scope must
# therefore be unique within each target.
UNITY := -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16

# The clang builds (sanitizers, fuzzing) link with lld, in about a quarter of
# the time ld takes for their instrumented programs.
LLD := -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld

# Ninja keeps both processors busy across the targets' boundaries, where
# make's recursive build leaves one waiting: about a sixth off each build.
# (A folder configured earlier keeps the generator it was made with.)
GENERATOR := -G Ninja

$(BUILD)/CMakeCache.txt: | deps
	cmake $(GENERATOR) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LINE_TABLES) $(UNITY) \
		$(call NoteFailure,configuring $(BUILD)/)

# The sanitizer builds compile with clang, in half the time g++ takes for
# the same instrumented code (the normal build keeps g++, so both compilers'
# warnings are seen). The ThreadSanitizer and fuzz builds optimise at -O1,
# as their documentation does, in less time than -O2.
$(ASAN_BUILD)/CMakeCache.txt: | deps
	CC=clang CXX=clang++ cmake $(GENERATOR) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug \
		-DTLKORVEL_SANITIZE=ON $(LINE_TABLES) $(UNITY) $(LLD) $(call NoteFailure,configuring $(ASAN_BUILD)/)

$(TSAN_BUILD)/CMakeCache.txt: | deps
	CC=clang CXX=clang++ cmake $(GENERATOR) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTLKORVEL_TSAN=ON $(LINE_TABLES) -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" $(UNITY) $(LLD) \
		$(call NoteFailure,configuring $(TSAN_BUILD)/)

$(FUZZ_BUILD)/CMakeCache.txt: | deps
	CC=clang CXX=clang++ cmake $(GENERATOR) -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTLKORVEL_FUZZ=ON -DTLKORVEL_TESTS=OFF $(LINE_TABLES) -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
		$(UNITY) $(LLD) $(call NoteFailure,configuring $(FUZZ_BUILD)/)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) $(call NoteFailure,building $(BUILD)/)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS) $(call NoteFailure,building $(ASAN_BUILD)/)

# Only what the threaded tests need.
build-tsan: deps $(TSAN_BUILD)/CMakeCache.txt
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(THREADED_TESTS) $(call NoteFailure,building $(TSAN_BUILD)/)

build-fuzz: deps $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers $(call NoteFailure,building $(FUZZ_BUILD)/)

# Each stage of `make test` adds "STAGE PASSED FAILED" to this file, or
# "STAGE not run: WHY" when it cannot start; the run ends with the sum over
# all of them.
RESULTS := $(CURDIR)/$(BUILD)/test-results.txt
STAGES_test-fuzz := $(addprefix fuzz-,$(FUZZERS))
StageNames = $(or $(STAGES_$(1)),$(patsubst test-%,%,$(1)))
TEST_STAGES := $(foreach target,$(TEST_TARGETS),$(call StageNames,$(target)))
COUNT_CTEST = $(CURDIR)/scripts/ctest-counts.sh $(RESULTS)

test-normal: build
	cd $(BUILD) && $(COUNT_CTEST) normal $(CTEST_ARGS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(COUNT_CTEST) asan $(CTEST_ARGS)

test-tsan: build-tsan
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
		$(COUNT_CTEST) tsan $(CTEST_ARGS) -R '^($(subst $(space),|,$(strip $(THREADED_TESTS))))$$'

# fuzz-NAME runs one fuzz target for FUZZ_RUN_SECONDS on the seed corpus,
# the regression inputs and what earlier runs found (kept in the build
# folder). An input that makes it fail is saved under $(FUZZ_BUILD)/crashes/NAME/.
FUZZ_RUN_SECONDS = $(TEST_FUZZ_SECONDS)
fuzz: FUZZ_RUN_SECONDS = $(FUZZ_SECONDS)

fuzz-%: build-fuzz
	@mkdir -p $(FUZZ_BUILD)/corpus/$* $(FUZZ_BUILD)/crashes/$*
	@echo "Fuzzing $* for $(FUZZ_RUN_SECONDS) s"
	@cd $(FUZZ_BUILD) && ./fuzz/fuzz_$* -max_total_time=$(FUZZ_RUN_SECONDS) \
		-max_len=$(MAX_LEN_$*) -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
		-artifact_prefix=crashes/$*/ corpus/$* \
		$(CURDIR)/fuzz/corpus/$* $(CURDIR)/fuzz/regressions/$* > fuzz-$*.log 2>&1 \
		|| { tail -n 60 fuzz-$*.log; echo "fuzz-$* 0 1" >> $(RESULTS); \
		     echo "fuzz_$* failed: its input is in $(FUZZ_BUILD)/crashes/$*/;" \
		          "fix the fault and add the input to fuzz/regressions/$*/"; exit 1; }
	@echo "fuzz-$* 1 0" >> $(RESULTS)
	@grep -E '^(stat::number_of_executed_units|Done)' $(FUZZ_BUILD)/fuzz-$*.log || true

test-fuzz: $(addprefix fuzz-,$(FUZZERS))

fuzz: $(addprefix fuzz-,$(FUZZERS))

# The package, installed and run under a real systemd in a container (as
# root): the last line says "N passed, N failed".
test-system: package deps
	@mkdir -p $(BUILD)
	@{ ./tests/system/package-test.sh $(BUILD); echo $$? > $(BUILD)/system-test.status; } 2>&1 \
		| tee $(BUILD)/system-test.out
	@counts=$$(tail -n 1 $(BUILD)/system-test.out | sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$$/\1 \2/p'); \
		echo "system $${counts:-0 1}" >> $(RESULTS); [ "$$(cat $(BUILD)/system-test.status)" = 0 ]

# Two servers with the package and keepalived in booted containers, the
# standby taking over when the other fails (as root): the last line says
# "N passed, N failed".
test-failover: package deps
	@mkdir -p $(BUILD)
	@{ ./tests/system/failover-test.sh $(BUILD); echo $$? > $(BUILD)/failover-test.status; } 2>&1 \
		| tee $(BUILD)/failover-test.out
	@counts=$$(tail -n 1 $(BUILD)/failover-test.out | sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$$/\1 \2/p'); \
		echo "failover $${counts:-0 1}" >> $(RESULTS); [ "$$(cat $(BUILD)/failover-test.status)" = 0 ]

# Every package that any stage needs is installed first, in one apt-get
# transaction; a stage whose packages are still missing then does not start,
# and says so. Every stage runs even when an earlier one fails; the last line
# sums them all. The builds take the processors one after another, and each
# stage's tests run beside the builds that follow it: they mostly wait on
# sockets, timers, Wine and the container, so the run takes little more than
# the builds. The fuzz build comes last, and its targets then run all at
# once (hence six jobs), each on its share of the processors for its time.
test:
	@mkdir -p $(BUILD) && rm -f $(RESULTS)
	-@./scripts/install-deps.sh $(GOAL_PACKAGES)
	@targets=""; \
		$(foreach target,$(TEST_TARGETS),$(call StartIfInstalled,$(target))) \
		[ -z "$$targets" ] || $(MAKE) --no-print-directory -k -j6 --output-sync=target TEST_PIPELINE=1 $$targets; \
		./scripts/test-summary.sh $(RESULTS) $(TEST_STAGES)

# Shell text of the `test` recipe for one stage target: adds it to $targets
# when its packages are installed, else notes why its stages do not run.
StartIfInstalled = missing=$$(./scripts/install-deps.sh --missing $(sort $(NEEDS_$(1)))); \
	if [ -z "$$missing" ]; then targets="$$targets $(1)"; \
	else for stage in $(call StageNames,$(1)); do \
		echo "$$stage not run: package installation failed (missing: $$(echo $$missing))" >> $(RESULTS); \
	done; fi;

ifdef TEST_PIPELINE
build-asan: | build
build-tsan: | build-asan
ifneq ($(filter test-windows,$(MAKECMDGOALS)),)
windows: | build-tsan
build-fuzz: | windows
else
build-fuzz: | build-tsan
endif
endif

demo: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@./scripts/demo.sh $(BUILD)

package: build deps
	cd $(BUILD) && rm -f tlkorvel_*.deb && cpack -G DEB $(call NoteFailure,making the Debian package)

# Release build of the service and the load generator; a check of the
# bench's own bookkeeping; then every scenario. The table goes to standard
# output and bench/results/latest.txt.
bench: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DTLKORVEL_BENCH=ON
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target tlKorvel korvelbench bench_harness_tests
	$(RELEASE_BUILD)/bench/bench_harness_tests --gtest_brief=1
	$(RELEASE_BUILD)/bench/korvelbench --service $(RELEASE_BUILD)/src/host/tlKorvel \
		--out bench/results/latest.txt $(BENCH_ARGS)

model: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target model_tests
	KORVEL_MODEL_SECONDS=$(or $(SECONDS),600) $(BUILD)/tests/model/model_tests

# Release build of the service, nvrsim and the soak driver; a check of the
# soak's own books; then SOAK_MINUTES (default 10) of operators, cameras, the
# NVR and reloads misbehaving at random from SOAK_SEED, at a low priority, as
# it runs for long on shared machines. A line a minute goes to standard
# output and bench/results/soak-latest.txt; it fails when anything admitted
# went astray or the process grew (README, "Soak").
SOAK_MINUTES ?= 10
SOAK_SEED    ?= 1
soak: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DTLKORVEL_BENCH=ON
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target tlKorvel nvrsim korvelsoak bench_harness_tests
	$(RELEASE_BUILD)/bench/bench_harness_tests --gtest_brief=1 --gtest_filter='SoakLedger.*'
	nice $(RELEASE_BUILD)/bench/korvelsoak --minutes $(SOAK_MINUTES) --seed $(SOAK_SEED) \
		--out bench/results/soak-latest.txt $(SOAK_ARGS)

# tinyxml2 and libxcrypt are compiled from Debian's source packages
# (scripts/fetch-debian-source.sh).
# Batched like the Linux folders: about a third less compiler time.
# A compiler launcher in the environment (CMAKE_CXX_COMPILER_LAUNCHER=ccache)
# is taken up by the first configure, as for the Linux builds.
# The download is a step of its own, so that `make test` makes it while the
# first builds run rather than when the Windows build's turn comes.
TINYXML2_SOURCE := $(WINDOWS_BUILD)/tinyxml2/source/tinyxml2.cpp
$(TINYXML2_SOURCE): | deps
	@./scripts/fetch-debian-source.sh tinyxml2 $(WINDOWS_BUILD)/tinyxml2 tinyxml2.cpp \
		$(call NoteFailure,fetching the source of tinyxml2)
LIBXCRYPT_SOURCE := $(WINDOWS_BUILD)/libxcrypt/source/lib/crypt.c
$(LIBXCRYPT_SOURCE): | deps
	@./scripts/fetch-debian-source.sh libxcrypt $(WINDOWS_BUILD)/libxcrypt lib/crypt.c \
		$(call NoteFailure,fetching the source of libxcrypt)

# Configured as soon as the source is there, so that in `make test` the
# configure runs beside the first builds rather than after the last.
$(WINDOWS_BUILD)/CMakeCache.txt: | deps $(TINYXML2_SOURCE) $(LIBXCRYPT_SOURCE)
	cmake $(GENERATOR) -S . -B $(WINDOWS_BUILD) \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake -DCMAKE_BUILD_TYPE=Release \
		-DTINYXML2_SOURCE_DIR=$(CURDIR)/$(WINDOWS_BUILD)/tinyxml2/source \
		-DLIBXCRYPT_SOURCE_DIR=$(CURDIR)/$(WINDOWS_BUILD)/libxcrypt/source $(UNITY) $(WINDOWS_CMAKE_ARGS) \
		$(call NoteFailure,configuring $(WINDOWS_BUILD)/)

windows: deps $(WINDOWS_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target $(WINDOWS_TARGETS) $(call NoteFailure,building $(WINDOWS_BUILD)/)

windows-zip: windows
	cd $(WINDOWS_BUILD) && rm -f tlKorvel-*.zip && cpack -G ZIP $(call NoteFailure,making the Windows zip)

# The Windows programs under Wine, against the Linux simulators and
# operator client: the last line of output says "N passed, N failed".
test-windows: windows-zip $(BUILD)/CMakeCache.txt deps
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target $(WINE_TEST_WINDOWS_TOOLS) \
		$(call NoteFailure,building $(WINE_TEST_WINDOWS_TOOLS) in $(WINDOWS_BUILD)/)
	cmake --build $(BUILD) -j $(JOBS) --target $(WINE_TEST_TOOLS) $(call NoteFailure,building $(WINE_TEST_TOOLS) in $(BUILD)/)
	@mkdir -p $(BUILD)
	@{ ./tests/windows/wine-test.sh $(WINDOWS_BUILD) $(BUILD); echo $$? > $(WINDOWS_BUILD)/wine-test.status; } 2>&1 \
		| tee $(WINDOWS_BUILD)/wine-test.out
	@counts=$$(tail -n 1 $(WINDOWS_BUILD)/wine-test.out | sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$$/\1 \2/p'); \
		echo "windows $${counts:-0 1}" >> $(RESULTS); [ "$$(cat $(WINDOWS_BUILD)/wine-test.status)" = 0 ]

# Formats every C++ file of the project with .clang-format.
format: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format -i --style=file

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(RELEASE_BUILD) $(WINDOWS_BUILD)
