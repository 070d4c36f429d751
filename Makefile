# Convenience front end over CMake presets. `make test` and `make demo`
# install any missing Debian packages first.
.PHONY: all deps build build-asan test demo bench stress fuzz package cluster-test clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default

build-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan

test: build build-asan
	ctest --preset default
	ctest --preset asan

# The demo needs only the library and the host tool, not the test suites.
demo: deps
	cmake --preset default >/dev/null
	cmake --build --preset default --target vadizu vadizu_tool vadizu_demo_data
	tools/demo.sh

bench: build
	bench/run.sh

stress: build
	tests/stress.sh

fuzz: deps
	tests/fuzz/run.sh

package: build
	cd build && cpack -G DEB

cluster-test: build
	tests/cluster/run.sh

clean:
	rm -rf build build-asan
