# Top-level entry points. Every target installs what it needs first.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-asan test-tsan bench run install package clean fuzz

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

# libFuzzer over the parsers and writers (fuzz/): built with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz, each target run
# for FUZZ_SECONDS on its seeds (fuzz/corpus/<target>) and what it found before
# (build-fuzz/corpus/<target>). A fault stops the run and leaves its input in
# build-fuzz/<target>-crash-*.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := fuzz_profile fuzz_error_text fuzz_match fuzz_trace_log fuzz_frame
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDUD_SANITIZE=fuzzer \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; \
	  if ! build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	       -artifact_prefix=build-fuzz/$$t- build-fuzz/corpus/$$t fuzz/corpus/$$t >build-fuzz/$$t.log 2>&1; then \
	    tail -n 40 build-fuzz/$$t.log; echo "$$t: FAILED (log: build-fuzz/$$t.log)"; exit 1; fi; \
	  runs=$$(sed -n 's/^stat::number_of_executed_units: *//p' build-fuzz/$$t.log); \
	  echo "$$t: $$runs executions in $(FUZZ_SECONDS) s, no fault; corpus $$(ls build-fuzz/corpus/$$t | wc -l) inputs"; \
	done

clean:
	rm -rf build build-asan build-tsan
