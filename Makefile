# Convenience front end over CMake presets. `make test` and `make demo`
# install any missing Debian packages first.
.PHONY: all deps packaging-deps build build-asan test demo bench stress fuzz package cluster-test clean

# What building the Debian packages takes beyond the build's own packages;
# the install test builds them too.
PACKAGING = debhelper dpkg-dev fakeroot lintian

all: build

deps:
	@tools/install-deps.sh

packaging-deps:
	@tools/install-deps.sh $(PACKAGING)

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default

build-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan

test: build build-asan packaging-deps
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

# dpkg-buildpackage on a copy of the tree: the packages, .buildinfo and
# .changes land in build/packages/, checked by lintian.
package: deps packaging-deps
	tools/build-packages.sh build/packages
	lintian --fail-on error,warning build/packages/*.changes
	@echo "lintian: no errors, no warnings"

cluster-test: build
	tests/cluster/run.sh

clean:
	rm -rf build build-asan
