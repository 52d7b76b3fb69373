# Thin entry points over the CMake presets. Each target installs what it needs first.
.PHONY: run test build bench fuzz clean

FUZZ_SECONDS ?= 60

build:
	scripts/install-deps.sh run
	cmake --preset default
	cmake --build --preset default

run: build
	@echo
	@echo "The local hub arrives with the console page. Until then, call the program by hand:"
	@echo "  QUERY_STRING='action=listeners' build/plugin_ports"
	@echo "  QUERY_STRING='action=probe&port=22' build/plugin_ports"
	@echo "  build/plugin_ports --meta"

test:
	scripts/install-deps.sh test
	cmake --preset default
	cmake --build --preset default
	ctest --preset default
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan
	cmake --preset windows
	cmake --build --preset windows
	ctest --preset windows

bench:
	scripts/install-deps.sh bench
	cmake --preset default
	cmake --build --preset default
	python3 bench/listeners.py build/plugin_ports
	bench/probe.sh

fuzz:
	scripts/install-deps.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-debug build-asan build-fuzz build-windows
