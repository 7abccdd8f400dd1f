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

.PHONY: all build deps test unit-test system-test demo format format-check clean bench soak

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
	RIGKEEP_BUILD_DIR=$(abspath $(BUILD_DIR)) $(PYTHON) -m pytest -q -p no:cacheprovider tests/system sim bench/test_soak.py

test: unit-test system-test

demo: build
	$(PYTHON) sim/demo.py --build-dir $(abspath $(BUILD_DIR))

bench: build
	$(PYTHON) bench/bench_table.py --build-dir $(abspath $(BUILD_DIR))

SOAK_MINUTES ?= 2
soak: build
	$(PYTHON) bench/soak.py --build-dir $(abspath $(BUILD_DIR)) --minutes $(SOAK_MINUTES)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-san-*
