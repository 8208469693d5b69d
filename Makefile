# Set-up, demo and tests over the CMake presets. Both entry points install the Debian
# packages they need first (quickly when they are already there).
.PHONY: demo test test-linux test-win32 test-win64 clean

demo:
	scripts/setup-deps.sh native
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j "$$(nproc)" --target velmora-demo minimal_plugin_0 minimal_plugin_1 minimal_plugin_2
	build/linux/bin/velmora-demo build/linux/bin/plugins/demo

test:
	scripts/setup-deps.sh all
	scripts/run-tests.sh linux win32 win64

test-linux:
	scripts/setup-deps.sh native
	scripts/run-tests.sh linux

test-win32 test-win64:
	scripts/setup-deps.sh all
	scripts/run-tests.sh $(@:test-%=%)

clean:
	rm -rf build
