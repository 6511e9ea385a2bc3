# The extension built with ThreadSanitizer in the ThreadSanitizer build of the
# free-threaded interpreter. The interpreter's own races are suppressed with
# the suppression file of its source tree; a report with a frame in the
# extension fails the run (scripts/tsan-report reads the logs).
#   TSAN_PYTHON  the interpreter (provisioned on first use)
#   TSAN_VENV    its venv, with the test dependencies and the instrumented extension
#   BUILD        build directory
#   py-test-tsan       the concurrency and stress tests
#   py-test-tsan-full  the whole suite (slow)
TSAN_PYTHON = $(shell scripts/provision-python-ft --tsan)
TSAN_VENV ?= .venv-tsan
TSAN_PY := $(TSAN_VENV)/bin/python
TSAN_LOG := $(BUILD)/tsan-log
TSAN_REQUIREMENTS := pytest hypothesis scikit-build-core cmake ninja
TSAN_TESTS := tests/test_concurrency.py tests/test_stress.py

.PHONY: ext-tsan py-test-tsan py-test-tsan-full

$(TSAN_VENV)/.stamp:
	python=$(TSAN_PYTHON) && [ -n "$$python" ] && "$$python" -m venv $(TSAN_VENV) \
	  && cp "$$(dirname "$$python")/../tsan-suppressions.txt" $(TSAN_VENV)/tsan-suppressions.txt
	$(TSAN_PY) -m pip install -q --upgrade pip
	$(TSAN_PY) -m pip install -q --only-binary=:all: $(TSAN_REQUIREMENTS)
	touch $@

ext-tsan: $(TSAN_VENV)/.stamp
	$(TSAN_PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/ext-tsan \
	  -Ccmake.define.QUORRAL_SANITIZE=thread .

# Runs pytest on $(1) with reports logged per process, then checks the logs.
define tsan-run
	rm -rf $(TSAN_LOG) && mkdir -p $(TSAN_LOG)
	TSAN_OPTIONS="suppressions=$(CURDIR)/$(TSAN_VENV)/tsan-suppressions.txt log_path=$(CURDIR)/$(TSAN_LOG)/report halt_on_error=0" \
	  $(TSAN_PY) -m pytest -q -p no:cacheprovider $(1); rc=$$?; \
	  $(TSAN_PY) scripts/tsan-report $(TSAN_LOG) && { [ $$rc -eq 0 ] || [ $$rc -eq 5 ]; }
endef

py-test-tsan: ext-tsan
	$(call tsan-run,$(TSAN_TESTS))

py-test-tsan-full: ext-tsan
	$(call tsan-run,tests)
