# make test  - builds everything and runs the C++ and Python test suites
# make demo  - builds the extension and runs the demonstration
# make bench - builds the extension and runs the benchmarks against numpy / PyGLM
SHELL := /bin/bash
PYTHON ?= $(shell scripts/find-python)
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
CMAKE := $(VENV)/bin/cmake

.PHONY: test demo bench venv ext cpp-test cpp-test-tsan py-test clean

$(VENV)/.stamp: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
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
	$(PY) -m pytest -q tests; rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]

test: cpp-test cpp-test-tsan py-test

demo: ext
	$(PY) benchmarks/demo.py

bench: ext
	$(PY) -m pip install -q -r benchmarks/requirements.txt
	$(PY) benchmarks/run.py

clean:
	rm -rf $(BUILD) $(VENV)
