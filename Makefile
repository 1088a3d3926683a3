# Drives CMake. `make demo` builds and runs the main job on the shipped sample;
# `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all build demo test install clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/bin/kesp examples/sample.16c

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The three programs into $(PREFIX)/bin, their pages into $(PREFIX)/share/man/man1.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
