# The README's commands. `make test` installs what it needs, builds and runs every test.
# SANITIZE=1 builds with AddressSanitizer + UndefinedBehaviorSanitizer into build-asan/.
# TSAN=1 builds the concurrency tests with ThreadSanitizer into build-tsan/ and runs only them.
SANITIZE ?= 0
TSAN ?= 0
ifeq ($(SANITIZE),1)
BUILD ?= build-asan
BUILD_TYPE ?= Debug
else ifeq ($(TSAN),1)
BUILD ?= build-tsan
BUILD_TYPE ?= RelWithDebInfo
TEST_SELECTION ?= -L concurrency
# The first report ends the process with status 66, also in the tool runs the tests start.
export TSAN_OPTIONS ?= halt_on_error=1
else
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
endif
JOBS ?= 2

.PHONY: deps configure build test demo bench bench-real fuzz fuzz-long thread-safety clean

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DHDFSAGENT_SANITIZE=$(SANITIZE) \
	  -DHDFSAGENT_TSAN=$(TSAN)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 300 $(TEST_SELECTION)

# The embedded default: a throwaway localcluster installation, backed up, restored and verified
# (DEMO_ARGS=--kerberos secures it with a throwaway MIT realm). Builds only the tool and the
# stand-ins it needs.
# DEMO_ARGS=--real runs the round trip against a real HDFS (MiniDFSCluster and the real libhdfs,
# realcluster/demo.sh; add --kerberos to secure it).
demo: configure
ifneq ($(filter --real,$(DEMO_ARGS)),)
	cmake --build $(BUILD) -j $(JOBS) --target hdfsagent_tool realcluster
	sh realcluster/demo.sh $(BUILD) $(filter-out --real,$(DEMO_ARGS))
else
	cmake --build $(BUILD) -j $(JOBS) --target hdfsagent_tool
	./$(BUILD)/tools/hdfsagent/hdfsagent demo $(DEMO_ARGS)
endif

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS)
	./bench/run.sh build-bench

# The real-cluster benchmark (bench/realcluster-bench.sh): hdfsagent against hadoop fs
# -copyToLocal, -put, -checksum and distcp on a MiniDFSCluster of its own; ratios and targets at
# the end. About 8 GiB of disk; under an hour on 2 cores (the README quotes a run).
bench-real: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS) --target hdfsagent_tool realcluster
	sh bench/realcluster-bench.sh build-bench

fuzz: deps
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHDFSAGENT_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS)
	./fuzz/run.sh build-fuzz

# Each fuzz target for a million executions or five minutes, whichever comes first (CI runs the
# short `make fuzz`).
FUZZ_LONG_SECONDS ?= 300
FUZZ_LONG_RUNS ?= 1000000
fuzz-long:
	$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_LONG_SECONDS) FUZZ_RUNS=$(FUZZ_LONG_RUNS)

# The lock annotations (host/ThreadAnnotations.h) checked by clang's thread-safety analysis:
# library, tool, tests and benchmarks built with clang into build-tsa/; any finding fails the
# build. Nothing is run, so nothing is optimised and no debug information is written.
thread-safety: deps
	cmake -S . -B build-tsa -G Ninja -DCMAKE_BUILD_TYPE= -DHDFSAGENT_THREAD_SAFETY=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-tsa -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-tsa
