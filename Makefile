# Set-up, demo and tests over the CMake presets. Both entry points install the Debian
# packages they need first (quickly when they are already there).
.PHONY: demo demo-win32 test test-linux test-win32 test-win64 package test-packages clean

# The demo host drives the sample plug-in through the library: natively, or the 32-bit DLL
# under Wine. Its target brings the library and the plug-in with it.
demo:
	scripts/setup-deps.sh native
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j "$$(nproc)" --target velmora-demo
	build/linux/bin/velmora-demo

demo-win32:
	scripts/setup-deps.sh all
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j "$$(nproc)" --target velmora-demo
	scripts/wine-run.sh win32 build/win32/bin/velmora-demo.exe

test:
	scripts/setup-deps.sh all
	scripts/run-tests.sh linux win32 win64 linux-asan linux-tsan linux-fuzz packages

test-linux:
	scripts/setup-deps.sh native
	scripts/run-tests.sh linux

test-win32 test-win64:
	scripts/setup-deps.sh all
	scripts/run-tests.sh $(@:test-%=%)

# The release packages and their debug information, into build/packages/ (see README).
# test-packages makes them and tests them; its hosts need the linux, win32 and win64 builds
# (make test builds those first).
package:
	scripts/setup-deps.sh all
	scripts/make-packages.sh

test-packages:
	scripts/setup-deps.sh all
	scripts/run-tests.sh packages

clean:
	rm -rf build

# The sanitizer builds and the fuzz targets one at a time. make fuzz runs every fuzz target
# for FUZZ_SECONDS (make test runs each for a few seconds only).
.PHONY: test-linux-asan test-linux-tsan test-linux-fuzz fuzz
FUZZ_SECONDS ?= 600

test-linux-asan test-linux-tsan test-linux-fuzz:
	scripts/setup-deps.sh native
	scripts/run-tests.sh $(@:test-%=%)

fuzz:
	scripts/setup-deps.sh native
	cmake --preset linux-fuzz >/dev/null
	cmake --build --preset linux-fuzz -j "$$(nproc)"
	fuzz/run.sh $(FUZZ_SECONDS)

# The benchmarks of bench/ with release flags, on Linux and for both Windows DLLs under
# Wine: builds and runs them, prints the figures against their goals and draws
# docs/performance.png (with gnuplot, which only this target installs). BENCH_ARGS goes to
# the Google Benchmark program of discovery, for example BENCH_ARGS=--benchmark_min_time=1.
.PHONY: bench
bench:
	scripts/setup-deps.sh bench
	bench/run.sh $(BENCH_ARGS)
