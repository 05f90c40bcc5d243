# Top-level entry points. Every target installs what it needs first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-asan test-tsan bench run clean

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

run:
	@echo "The application arrives with a later step; for now 'make test' builds and tests the stack."

clean:
	rm -rf build build-asan build-tsan
