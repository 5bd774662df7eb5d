# make run   - install what is missing, build, start the daemon on the demo set-up
# make test  - install what is missing, build, run every test
# make fuzz  - build the libFuzzer targets with clang++ (build-fuzz) and run each
#              for FUZZ_SECONDS (fuzz/run.sh)
# make bench - build, then compare tavex-icapd with c-icap on loopback (bench/run.sh)
BUILD ?= build
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test bench fuzz clean

all: build

deps:
	scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DTVX_WERROR=$(WERROR)
	cmake --build $(BUILD) -j $(JOBS)

PORT ?= 1344

run: build
	scripts/run-demo.sh $(BUILD) $(PORT)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	BUILD=$(BUILD) bench/run.sh

FUZZ_SECONDS ?= 60

fuzz: deps
	fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
