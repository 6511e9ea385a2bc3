# make test   - builds everything and runs the C++ tests, and the Python suite
#               from each interpreter's installed wheel (mk/wheels.mk) on CPython
#               3.13 with the GIL, free-threaded 3.13, and 3.14 and 3.15 with the GIL;
#               then the aarch64 wheel cross-built and the bits of both
#               architectures compared under qemu-user (mk/aarch64.mk)
# make wheels - the sdist and from it every interpreter's wheel, checked
# make demo   - builds the extension and runs the demonstration
# make test-explore - the property tests with random seeds, for EXPLORE_MINUTES
# make bench  - builds the extension and runs the benchmarks against numpy / PyGLM,
#               then the whole programs of benchmarks/programs.py
#
# Everything that runs Python runs for one interpreter, chosen by FLAVOUR:
#   gil      - CPython 3.13 with the GIL (scripts/find-python), venv .venv
#   ft       - free-threaded CPython 3.13 (scripts/provision-python-ft), venv .venv-ft
#   3.14 3.15 - CPython 3.X with the GIL (scripts/provision-python-sid), venv .venv-3.X
# e.g. `make py-test FLAVOUR=ft`. `make test` runs the suites for all of them.
SHELL := /bin/bash
FLAVOUR ?= gil
ifeq ($(FLAVOUR),ft)
PYTHON ?= $(shell scripts/provision-python-ft)
VENV := .venv-ft
else ifeq ($(FLAVOUR),gil)
PYTHON ?= $(shell scripts/find-python)
VENV := .venv
else ifneq ($(filter 3.14 3.15,$(FLAVOUR)),)
PYTHON ?= $(shell scripts/provision-python-sid $(FLAVOUR))
VENV := .venv-$(FLAVOUR)
else
$(error FLAVOUR is gil, ft, 3.14 or 3.15, not $(FLAVOUR))
endif
PY := $(VENV)/bin/python
BUILD := build/$(FLAVOUR)
CMAKE := $(VENV)/bin/cmake
# pytest exits 5 when it collected no test; that is no failure of the suite.
PYTEST_OK := rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]
# A heading naming the interpreter, printed before each Python suite.
HEADING = @echo; echo "===== $(1): $$($(PY) -c 'import sys, sysconfig; print(sys.implementation.name, sys.version.split()[0], "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with GIL")') ====="

.PHONY: test test-explore suite demo bench venv ext gtest cpp-test cpp-test-tsan py-test py-test-asan stubtest clean

# The test dependencies into the venv of the python $(1), after the packages $(2).
# Binary wheels only: on the free-threaded build a newer release of a test
# dependency may exist only as source with a native part that needs a toolchain.
# The exception is requirements-source.txt: packages without a binary wheel for
# some interpreter that build from source in seconds (pure C, no toolchain
# beyond the C compiler), each allowed a source build only for itself.
define install-test-deps
	$(1) -m pip install -q --only-binary=:all: $(2) -r requirements-test.txt
	grep -v '^#' requirements-source.txt | while read -r req; do [ -z "$$req" ] || \
	  $(1) -m pip install -q --only-binary=:all: "$$req" >/dev/null 2>&1 \
	  || $(1) -m pip install -q --only-binary=:all: --no-binary="$${req%%[<>=!~ ]*}" "$$req" >/dev/null 2>&1 \
	  || echo "$$req not installed"; done
	grep -v '^#' requirements-interop.txt | while read -r req; do [ -z "$$req" ] || \
	  $(1) -m pip install -q --only-binary=:all: "$$req" >/dev/null 2>&1 || echo "$$req not installed: its tests will skip"; done
endef

$(VENV)/.stamp: requirements-dev.txt requirements-test.txt requirements-interop.txt requirements-source.txt
	scripts/make-venv $(PYTHON) $(VENV)
	$(call install-test-deps,$(PY),-r requirements-dev.txt)
	touch $@

venv: $(VENV)/.stamp

ext: venv
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/ext .

# Debian's GoogleTest package, installed when missing.
gtest:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq libgtest-dev; }

cpp-test: venv gtest
	$(CMAKE) -S . -B $(BUILD)/cpp -G Ninja -DQUORRAL_BUILD_MODULE=OFF -DQUORRAL_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build $(BUILD)/cpp
	$(VENV)/bin/ctest --test-dir $(BUILD)/cpp --output-on-failure

cpp-test-tsan: venv gtest
	$(CMAKE) -S . -B $(BUILD)/cpp-tsan -G Ninja -DQUORRAL_BUILD_MODULE=OFF -DQUORRAL_BUILD_TESTS=ON \
	  -DQUORRAL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build $(BUILD)/cpp-tsan
	TSAN_OPTIONS=halt_on_error=1 $(VENV)/bin/ctest --test-dir $(BUILD)/cpp-tsan --output-on-failure

py-test: ext
	$(call HEADING,pytest)
	$(PY) -m pytest -q tests; $(PYTEST_OK)

# The property tests with random seeds and EXPLORE_SCALE times their examples,
# one seed after another for EXPLORE_MINUTES (not part of make test, whose
# runs are derandomised). SEED=N replays one seed.
EXPLORE_MINUTES ?= 10
EXPLORE_SCALE ?= 10
test-explore: ext
	$(call HEADING,property tests with random seeds)
	@mkdir -p $(BUILD) && log=$(BUILD)/explore.log && end=$$(( $$(date +%s) + 60 * $(EXPLORE_MINUTES) )) && failed= \
	&& while :; do seed=$(or $(SEED),$$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')); \
	  QUORRAL_EXPLORE=$(EXPLORE_SCALE) $(PY) -m pytest -q -p no:cacheprovider -m hypothesis \
	    --hypothesis-profile=explore --hypothesis-seed=$$seed tests >$$log 2>&1; rc=$$?; \
	  echo "seed $$seed: $$(tail -n 1 $$log | tr -d '=')"; \
	  [ $$rc -eq 0 ] || { failed="$$failed $$seed"; sed -n '/= FAILURES =/,$$p' $$log | head -n 300; \
	    echo "replay: make test-explore SEED=$$seed EXPLORE_SCALE=$(EXPLORE_SCALE)"; }; \
	  [ -z "$(SEED)" ] && [ $$(date +%s) -lt $$end ] || break; done \
	&& [ -z "$$failed" ] || { echo "failing seeds:$$failed"; exit 1; }

# The Python suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, imported ahead of the installed one (which
# subprocesses with a fresh environment still use). Leak detection is off:
# the interpreter keeps its own allocations until exit.
# libstdc++ is preloaded too so that the runtime finds the real __cxa_throw.
# The checks are those of -fsanitize=undefined without null, nonnull-attribute
# and returns-nonnull-attribute: with those GCC 12 refuses constant evaluation
# of pointers into template parameter objects (the text signatures).
# pytest captures sys.stdout and sys.stderr only: a sanitizer's report, written
# to file descriptor 2 as it stops the process, then reaches the log.
ASAN_PKG := $(BUILD)/asan/pkg
UBSAN_CHECKS := shift,integer-divide-by-zero,unreachable,vla-bound,return,signed-integer-overflow,bounds,alignment,object-size,bool,enum,vptr,pointer-overflow,builtin
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(CURDIR)/$(ASAN_PKG)
py-test-asan: ext
	$(CMAKE) -S . -B $(BUILD)/asan -G Ninja -DQUORRAL_SANITIZE=address,$(UBSAN_CHECKS) \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(CMAKE) --build $(BUILD)/asan --target quorral
	mkdir -p $(ASAN_PKG)/quorral && cp -u $(BUILD)/asan/module/__init__.*.so python/quorral/*.pyi python/quorral/py.typed $(ASAN_PKG)/quorral/
	$(ASAN_ENV) $(PY) -c 'import quorral; assert quorral.__file__.startswith("$(CURDIR)/$(ASAN_PKG)/"), quorral.__file__'
	$(call HEADING,pytest under AddressSanitizer + UndefinedBehaviorSanitizer)
	$(ASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider --capture=sys tests; $(PYTEST_OK)

# The stubs against the module installed for the python $(1), and a typed
# example under mypy --strict.
define stubtest-run
	$(1) scripts/stubtest --allowlist python/stubtest-allowlist.txt quorral
	$(1) -m mypy --strict --cache-dir $(BUILD)/mypy docs/example.py
endef

stubtest: ext
	$(call stubtest-run,$(PY))

# Everything that runs for one interpreter: the suite and stubtest from the
# installed wheel; on 3.13 also the suite under the sanitizers.
ifneq ($(filter gil ft,$(FLAVOUR)),)
suite: wheel-test stubtest-wheel py-test-asan
else
suite: wheel-test stubtest-wheel compile-ft
endif

test: cpp-test cpp-test-tsan
	$(MAKE) --no-print-directory FLAVOUR=gil suite
	$(MAKE) --no-print-directory FLAVOUR=ft suite
	$(MAKE) --no-print-directory FLAVOUR=ft py-test-parallel py-test-tsan
	$(MAKE) --no-print-directory FLAVOUR=3.14 suite
	$(MAKE) --no-print-directory FLAVOUR=3.15 suite
	$(MAKE) --no-print-directory cibuildwheel-matrix
	$(MAKE) --no-print-directory test-aarch64 bits-aarch64
	@$(MAKE) --no-print-directory wheel-summary

demo: ext
	$(PY) benchmarks/demo.py

# The thread-scaling table needs the extension on both interpreters.
bench: ext
	$(MAKE) --no-print-directory FLAVOUR=ft ext
	$(PY) -m pip install -q -r benchmarks/requirements.txt
	GIL_PYTHON=$(CURDIR)/.venv/bin/python FT_PYTHON=$(CURDIR)/.venv-ft/bin/python $(PY) benchmarks/run.py
	$(PY) benchmarks/programs.py

clean:
	rm -rf build .venv .venv-ft .venv-tsan .venv-3.14 .venv-3.15

include mk/parallel.mk mk/tsan.mk mk/wheels.mk mk/aarch64.mk
