# The two set-up commands of the README:
#   make demo   install dependencies, build, predict every property for the bundled examples
#   make test   install dependencies, build, run every test (normal, window-free and sanitized
#               builds, and the window-free build for Windows under Wine)
# the Python package:
#   make python   build the module and install it for Debian's Python 3
# and the Windows package:
#   make windows  cross-build the libraries (once, cached), Veldra, the zip and the installer

.PHONY: deps build build-asan build-core demo test test-normal test-core test-asan format clean \
	windows windows-deps test-windows-core check-windows python

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
	$(MAKE) test-windows-core

# Windows x64, cross-built with MinGW-w64 from Debian's packages and source packages; the
# libraries are built once into VELDRA_WINDOWS_CACHE (default /var/cache/veldra-windows).
windows-deps:
	bash scripts/windows/build-deps

windows: windows-deps
	cmake --preset windows
	cmake --build --preset windows --target veldra veldra-predict veldra-train model_tree
	bash scripts/windows/package build-windows dist

# The window-free core for Windows and its tests, under Wine (no Qt to build). Wine now and then
# fails to start a test program at all (it ends at once, printing nothing); the windows-core test
# preset runs a failed test once more, so only a test that fails twice fails the run.
test-windows-core:
	VELDRA_WINDOWS_PARTS=core bash scripts/windows/build-deps
	cmake --preset windows-core
	cmake --build --preset windows-core
	# The Wine prefix, made once before tests share it; its first start now and then fails too.
	bash scripts/windows/wine-run cmd /c exit || bash scripts/windows/wine-run cmd /c exit
	ctest --preset windows-core

# The package as a user would use it, under Wine, against the Linux build.
check-windows: build windows
	bash scripts/check-windows build dist

format:
	bash scripts/check-format --fix

clean:
	rm -rf build build-asan build-core build-windows build-windows-core dist

# The Python package for Debian's Python 3 (scripts/install-python says where it goes).
python: build
	bash scripts/install-python build
