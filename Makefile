# The two set-up commands of the README:
#   make demo   install dependencies, build, predict every property for the bundled examples
#   make test   install dependencies, build, run every test (normal, window-free and sanitized builds)

.PHONY: deps build build-asan build-core demo test test-normal test-core test-asan format clean

deps:
	bash scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan

build-core: deps
	cmake --preset core
	cmake --build --preset core

demo: build
	bash scripts/demo build

test-normal: build
	ctest --preset default

test-core: build-core
	ctest --preset core

test-asan: build-asan
	ctest --preset asan

test: deps
	$(MAKE) test-normal
	$(MAKE) test-core
	$(MAKE) test-asan

format:
	bash scripts/check-format --fix

clean:
	rm -rf build build-asan build-core
