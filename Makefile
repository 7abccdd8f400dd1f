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

.PHONY: all build deps test unit-test system-test demo format format-check clean bench
.PHONY: install deb deb-armhf check-armhf-deb
.PHONY: armhf armhf-test armhf-system-test armhf-bench
.PHONY: fuzz
.PHONY: soak
.PHONY: mutants

all: build

deps:
	@./scripts/install-deps.sh

# Configuring every time is cheap and recovers from an interrupted configure.
build: deps
	cmake -S . -B $(BUILD_DIR) -DRIGKEEP_WERROR=$(WERROR) -DRIGKEEP_SANITIZE=$(SAN) > /dev/null
	cmake --build $(BUILD_DIR) -j$(JOBS)

unit-test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

SYSTEM_TESTS ?= tests/system
system-test: build
	RIGKEEP_BUILD_DIR=$(abspath $(BUILD_DIR)) $(PYTHON) -m pytest -q -p no:cacheprovider $(SYSTEM_TESTS)

test: unit-test system-test

demo: build
	$(PYTHON) sim/demo.py --build-dir $(abspath $(BUILD_DIR))

bench: build
	$(PYTHON) bench/bench_table.py --build-dir $(abspath $(BUILD_DIR))

SOAK_MINUTES ?= 2
soak: build
	$(PYTHON) bench/soak.py --build-dir $(abspath $(BUILD_DIR)) --minutes $(SOAK_MINUTES)

# The board's layout under DESTDIR: /usr/bin/rigkeep, /etc/init.d/rigkeep.sh.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_DIR) --prefix /usr

deb: build
	./scripts/make-deb.sh $(BUILD_DIR) $$(dpkg --print-architecture)

deb-armhf: armhf
	./scripts/make-deb.sh build-armhf armhf

# Installs the armhf package on a fresh armhf root file system and starts it
# there under the emulator (downloads a root file system once; not in `make test`).
check-armhf-deb: deb-armhf
	./scripts/check-armhf-deb.sh build-armhf

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

# The board's CPU: cross-build in build-armhf, tests under qemu user emulation.
ARMHF_DIR := build-armhf
ARMHF_SYSTEM_TESTS := $(addprefix tests/system/,test_startup.py test_link.py test_mining.py \
	test_miner_supervision.py test_settings_requests.py)

armhf:
	./scripts/install-deps.sh --armhf $(ARMHF_DIR)/lws-armhf
	cmake -S . -B $(ARMHF_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
		-DRIGKEEP_ARMHF_LWS=$(abspath $(ARMHF_DIR))/lws-armhf -DRIGKEEP_WERROR=$(WERROR) > /dev/null
	cmake --build $(ARMHF_DIR) -j$(JOBS)

armhf-test: armhf
	cd $(ARMHF_DIR) && ctest --output-on-failure -j$(JOBS)

armhf-system-test: armhf
	RIGKEEP_BUILD_DIR=$(abspath $(ARMHF_DIR)) RIGKEEP_EMULATOR=/usr/bin/qemu-arm-static \
		$(PYTHON) -m pytest -q -p no:cacheprovider $(ARMHF_SYSTEM_TESTS)

armhf-bench: armhf
	RIGKEEP_EMULATOR=/usr/bin/qemu-arm-static $(PYTHON) bench/startup_bench.py \
		--build-dir $(abspath $(ARMHF_DIR)) --strip arm-linux-gnueabihf-strip


# libFuzzer targets (clang, ASan, UBSan) in their own tree: each replays its committed
# inputs, then runs for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	@./scripts/install-deps.sh --fuzz
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DRIGKEEP_FUZZ=ON -DRIGKEEP_TESTS=OFF \
		-DRIGKEEP_WERROR=$(WERROR) -DRIGKEEP_SAVING_WINDOW_MS=0 > /dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzz_targets
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# The planted-fault catalogue (not part of `make test`): builds each fault of
# tests/mutants/faults.txt in a scratch copy and runs the tests meant to catch it.
# MUTANTS="name1 name2" runs a subset; MUTANTS_ARGS=--check only checks they apply.
MUTANTS ?=
MUTANTS_ARGS ?=
mutants:
	MUTANTS="$(MUTANTS)" $(PYTHON) tools/mutants.py --jobs $(JOBS) $(MUTANTS_ARGS)

clean:
	rm -rf build build-san-* build-fuzz $(ARMHF_DIR)
