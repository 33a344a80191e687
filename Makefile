# The two commands of the README:
#   make test   set up everything on a fresh machine, build, run the tests
#   make demo   set up everything, build, run a whole update against a local release server
PY312 := $(shell tools/find-python3.12)
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/updater/*.cpp src/updater/*.hpp src/updater/*.pyi) CMakeLists.txt pyproject.toml
SOURCES += $(wildcard src/_updater_pyinstaller/*.py)

.PHONY: test demo build system bench clean asan lint coverage valgrind

$(PY):
	$(PY312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.9" cmake ninja "pytest>=8" "trustme>=1.1" "hypothesis>=6" \
	    "cryptography>=42"

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --config-settings=cmake.define.UPDATER_WERROR=ON .
	touch $@

# The frozen-launcher tests and the demo freeze with PyInstaller (and one test
# with cx_Freeze).
$(VENV)/.freezers: $(PY)
	$(PY) -m pip install -q "pyinstaller>=6.9" "cx_Freeze>=8"
	touch $@

build: $(VENV)/.installed $(VENV)/.freezers

# The libraries only the tests load (CMake option UPDATER_TEST_LIBS), built apart
# from the wheel: tests/test_signature_crypto.py finds them in build/test-libs.
TEST_LIBS := build/test-libs/.built
$(TEST_LIBS): $(PY) $(SOURCES) $(wildcard tests/native/*.cpp)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/test-libs -G Ninja \
	    -DPython_EXECUTABLE="$(CURDIR)/$(PY)" -DCMAKE_BUILD_TYPE=Release \
	    -DUPDATER_WERROR=ON -DUPDATER_TEST_LIBS=ON >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/test-libs --target updater_crypto_test
	touch $@

system:
	tools/setup-system

test: system build $(TEST_LIBS)
	$(PY) -m pytest -q -ra tests

demo: system build
	$(PY) demo/run_demo.py

bench: system build
	$(PY) bench/bench_download.py

# Checks beyond the test suite, each in a build directory of its own (build/<name>):
#   make asan       the whole suite against an ASan+UBSan build (tools/asan-test)
#   make lint       clang-tidy and cppcheck (tools/lint)
#   make coverage   line coverage of src/updater from the suite, at least 90% (tools/coverage)
#   make valgrind   memcheck over import, binding errors and a console update (tools/valgrind-check)
asan: system $(PY) $(VENV)/.freezers
	tools/asan-test

lint: $(PY)
	tools/setup-system clang-tidy cppcheck
	tools/lint

coverage: system $(PY) $(VENV)/.freezers
	tools/coverage

valgrind: system $(PY)
	tools/setup-system valgrind
	tools/valgrind-check

clean:
	rm -rf build $(VENV)
