# Thin front for the README's commands; CMake does the building.
SAN ?=
WERROR ?= ON
JOBS ?= 2
PYTHON := /usr/bin/python3

ifeq ($(SAN),)
BUILD_DIR ?= build
else
BUILD_DIR ?= build-san-$(subst $(comma),-,$(SAN))
endif
comma := ,

.PHONY: all build deps test unit-test system-test demo format format-check clean bench fuzz

all: build

deps:
	@./scripts/install-deps.sh

# Configuring every time is cheap and recovers from an interrupted configure.
build: deps
	cmake -S . -B $(BUILD_DIR) -DRIGKEEP_WERROR=$(WERROR) -DRIGKEEP_SANITIZE=$(SAN) > /dev/null
	cmake --build $(BUILD_DIR) -j$(JOBS)

unit-test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

system-test: build
	RIGKEEP_BUILD_DIR=$(abspath $(BUILD_DIR)) $(PYTHON) -m pytest -q -p no:cacheprovider tests/system sim

test: unit-test system-test

demo: build
	$(PYTHON) sim/demo.py --build-dir $(abspath $(BUILD_DIR))

bench: build
	$(PYTHON) bench/startup_bench.py --build-dir $(abspath $(BUILD_DIR))

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

# libFuzzer targets (clang, ASan, UBSan) in their own tree: each replays its committed
# inputs, then runs for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	@./scripts/install-deps.sh --fuzz
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DRIGKEEP_FUZZ=ON -DRIGKEEP_TESTS=OFF \
		-DRIGKEEP_WERROR=$(WERROR) -DRIGKEEP_SAVING_WINDOW_MS=0 > /dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzz_targets
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-san-* build-fuzz
