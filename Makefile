# Entry points of the project. `make test` and `make demo` set up a fresh Debian machine
# (missing packages are installed by tools/setup-deps.sh) and then build and run.
BUILD_TEST    := build/test
BUILD_RELEASE := build/release
JOBS          ?= $(shell nproc)

.PHONY: all setup test demo package clean

all: test

setup:
	@bash tools/setup-deps.sh

$(BUILD_TEST)/build.ninja: | setup
	cmake -S . -B $(BUILD_TEST) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQ93K_SANITIZE=ON

$(BUILD_RELEASE)/build.ninja: | setup
	cmake -S . -B $(BUILD_RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQ93K_TESTS=OFF

test: setup $(BUILD_TEST)/build.ninja
	cmake --build $(BUILD_TEST) -j $(JOBS)
	$(MAKE) --no-print-directory package
	cd $(BUILD_TEST) && ctest --output-on-failure -j $(JOBS)

demo: setup $(BUILD_RELEASE)/build.ninja
	cmake --build $(BUILD_RELEASE) -j $(JOBS) --target q93k
	$(BUILD_RELEASE)/tools/q93k/q93k demo

# The Windows images, cross-compiled with mingw-w64 into dist/.
package: setup
	@bash tools/package.sh

clean:
	rm -rf build dist
