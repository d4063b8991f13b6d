# The two set-up commands of the README:
#   make demo   install dependencies, build, predict every property for the bundled examples
#   make test   install dependencies, build, run every test (normal and sanitized builds)

.PHONY: deps build build-asan demo test test-normal test-asan format clean

deps:
	bash scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

build-asan: deps
	cmake --preset asan
	cmake --build --preset asan

demo: build
	bash scripts/demo build

test-normal: build
	ctest --preset default

test-asan: build-asan
	ctest --preset asan

test: deps
	$(MAKE) test-normal
	$(MAKE) test-asan

format:
	bash scripts/check-format --fix

clean:
	rm -rf build build-asan
