# make run   - install what is missing, build, start the daemon on the demo set-up
# make test  - install what is missing, build, run every test
# make bench - build, then compare tavex-icapd with c-icap on loopback (bench/run.sh)
BUILD ?= build
WERROR ?= OFF
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run test bench clean

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

clean:
	rm -rf $(BUILD)
