# make run   - install what is missing, build, start the daemon on the demo set-up
# make test  - install what is missing, build, run every test
# make test SANITIZE=ON
#            - the same built with clang, AddressSanitizer and UBSan in build-asan;
#              fails on any sanitizer report from any process the tests started
# make fuzz  - build the libFuzzer targets with clang++ (build-fuzz) and run each
#              for FUZZ_SECONDS (fuzz/run.sh)
# make bench - build, then compare tavex-icapd with c-icap on loopback (bench/run.sh)
# Never installs anything but through scripts/deps.sh.
SANITIZE ?= OFF
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

ifeq ($(SANITIZE),ON)
BUILD ?= build-asan
# Built with clang: its run-time holds UBSan inside ASan, so one log_path
# takes every report. GCC's libubsan is a library of its own beside libasan
# and writes to standard error whatever log_path says, and the standard
# error of a detached daemon is /dev/null. llvm-14 brings llvm-symbolizer,
# which puts function names and lines in the reports' stack traces.
DEPS_EXTRA = clang libclang-rt-14-dev llvm-14
# A checking build: asserts stay on (Debug), at -O1 as the sanitizers
# advise (-O0 makes the instrumented programs much slower, -O2 inlines
# frames away from the reports). Warnings are not errors here: the normal
# build, with GCC, is the one that holds the code to -Werror.
CMAKE_FLAGS = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
              -DTVX_SANITIZE=ON -DTVX_WERROR=OFF -DCMAKE_BUILD_TYPE=Debug \
              -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1"
else
BUILD ?= build
DEPS_EXTRA =
CMAKE_FLAGS = -DTVX_SANITIZE=OFF -DTVX_WERROR=$(WERROR)
endif

# Sanitizer run-time options for the tests.
# - Every report goes to a file of its own (log_path, one per process id)
#   under BUILD/sanitizer-logs, and the run fails when any is there: most
#   instrumented processes are daemons, connection processes and tools that
#   the tests start with their standard error in a temporary directory (or
#   /dev/null), and a report there must not depend on the test noticing
#   that process end.
# - exitcode=86, a status no program here uses: several tests expect a
#   program to exit with 1, ASan's default, and must not pass on a report.
# - halt_on_error: the first error ends the process (the UBSan checks are
#   built without recovery as well); abort_on_error=0 ends it with exitcode
#   rather than SIGABRT and a core file.
# - LeakSanitizer on: it checks the test programs, which run most of the
#   libraries in-process, the tools, and the daemon's exit() paths (option
#   check, start-up errors). The listener and its connection processes end
#   with _exit and are never leak-checked: the kernel takes their memory
#   back by design.
# - check_initialization_order, strict_init_order: the globals (g_config,
#   g_request, the MIME rule list, ...) are objects with constructors spread
#   over several files; one must not read another before it is built.
# - detect_stack_use_after_return: catches pointers to a returned frame's
#   locals, at a small cost in memory.
SAN_LOG = $(abspath $(BUILD))/sanitizer-logs
SAN_COMMON = log_path=$(SAN_LOG)/report:exitcode=86:external_symbolizer_path=/usr/lib/llvm-14/bin/llvm-symbolizer
ASAN_RUN_OPTIONS = $(SAN_COMMON):halt_on_error=1:abort_on_error=0:detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1
UBSAN_RUN_OPTIONS = $(SAN_COMMON):halt_on_error=1:print_stacktrace=1:report_error_type=1

.PHONY: all deps build run test bench fuzz clean

all: build

deps:
	scripts/deps.sh $(DEPS_EXTRA)

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

PORT ?= 1344

run: build
	scripts/run-demo.sh $(BUILD) $(PORT)

ifeq ($(SANITIZE),ON)
test: build
	rm -rf $(SAN_LOG) && mkdir -p $(SAN_LOG)
	cd $(BUILD) && { ASAN_OPTIONS=$(ASAN_RUN_OPTIONS) UBSAN_OPTIONS=$(UBSAN_RUN_OPTIONS) \
	    ctest --output-on-failure -j $(JOBS); status=$$?; \
	  for f in $(SAN_LOG)/*; do [ -e "$$f" ] || continue; \
	    echo "==== sanitizer report $$f"; cat "$$f"; status=1; done; \
	  exit $$status; }
else
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
endif

bench: build
	BUILD=$(BUILD) bench/run.sh

FUZZ_SECONDS ?= 60

fuzz: deps
	fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
