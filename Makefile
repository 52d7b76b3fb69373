# Thin entry points over the CMake presets. Each target installs what it needs first.
.PHONY: run test build package bench fuzz clean

FUZZ_SECONDS ?= 60
# The port make run serves on.
PORT ?= 8150

# The program alone, with the page text it is built from: what make run runs. The tests
# stay out of this configuration, so it needs neither GoogleTest nor node, and compiles
# none of them.
build:
	scripts/install-deps.sh run
	cmake --preset default -DPORTS_TESTS=OFF
	cmake --build --preset default --target plugin_ports

# The local hub on http://127.0.0.1:$(PORT)/ (8150 unless PORT=N says) in the foreground;
# Ctrl-C stops it. It prints the addresses to open. BOT_PASSWORD=... make run turns the
# password gate on, and the addresses then carry the password.
run: build
	@echo
	exec python3 hub/serve.py build/plugin_ports --port $(PORT)

test:
	scripts/install-deps.sh test
	cmake --preset default -DPORTS_TESTS=ON
	cmake --build --preset default
	ctest --preset default
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan
	cmake --preset windows -DPORTS_TESTS=ON
	cmake --build --preset windows
	ctest --preset windows

# The two packages, without the tests: build/ports_VERSION_ARCH.deb and
# build-windows/ports-VERSION-windows-x64.zip. SIGN_CERT and SIGN_KEY, a code-signing
# certificate and its key, sign the exe in the zip.
package:
	scripts/install-deps.sh package
	cmake --preset default -DPORTS_TESTS=OFF
	cmake --build --preset default
	cd build && cpack -G DEB
	cmake --preset windows -DPORTS_TESTS=OFF
	cmake --build --preset windows
	cd build-windows && cpack -G ZIP

bench:
	scripts/install-deps.sh bench
	cmake --preset default
	cmake --build --preset default
	python3 bench/listeners.py build/plugin_ports
	python3 bench/netns.py build/plugin_ports
	bench/probe.sh
	bench/process.sh
	node bench/page_render.mjs build/plugin_ports
	python3 bench/hub_load.py build/plugin_ports

fuzz:
	scripts/install-deps.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-debug build-asan build-fuzz build-windows
