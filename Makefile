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

clean:
	rm -rf build build-san-*
