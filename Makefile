# Top-level entry points. Every target installs what it needs first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-asan test-tsan bench run install package clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)

test: build
	@cd build && ctest --output-on-failure -j $(JOBS) --timeout 300

test-asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DDUD_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ctest --output-on-failure -j $(JOBS) --timeout 600

# ThreadSanitizer cannot map its shadow memory under the kernel's full address
# randomisation, so the suite runs with randomisation turned off for its processes.
test-tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DDUD_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && setarch $$(uname -m) -R ctest --output-on-failure -j $(JOBS) --timeout 600

bench: build
	@for b in build/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

# The window with the receiver simulator on a virtual COM1, in a scratch working
# folder (settings.ini, RIZI.TRC and RIZI.LOG land there). Needs a display.
run:
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "make run: no display (DISPLAY is not set); Korva Security needs a desktop session." >&2; exit 1; fi
	@$(MAKE) --no-print-directory deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS) --target korva-security korva-receiver
	@tools/run_korva.sh build

# The program with its desktop entry and icon (and the receiver simulator).
PREFIX ?= /usr/local
install: deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS) --target korva-security korva-receiver
	@cmake --install build --prefix $(PREFIX)

# A Debian package of the same, in build/.
package: deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS) --target korva-security korva-receiver
	@cd build && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan
