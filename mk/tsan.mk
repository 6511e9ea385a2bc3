# The extension built with ThreadSanitizer, in the ThreadSanitizer build of the
# free-threaded interpreter (TSAN_PYTHON, provisioned on first use). The
# interpreter's own races are suppressed with the suppression file of its
# source tree; a report with a frame in the extension fails the run
# (scripts/tsan-report reads the logs of every process).
#   py-test-tsan       the concurrency and stress tests
#   py-test-tsan-full  the whole suite (slow)
# Uses the ft flavour's VENV, PY, CMAKE, BUILD, venv, HEADING, PYTEST_OK: that
# venv's pip fills the sanitizer venv, as pip runs many times slower under
# the sanitizer.
TSAN_TARGETS := ext-tsan py-test-tsan py-test-tsan-full
.PHONY: $(TSAN_TARGETS)
ifeq ($(FLAVOUR),ft)
TSAN_PYTHON = $(shell scripts/provision-python-ft --tsan)
TSAN_VENV := .venv-tsan
TSAN_PY := $(TSAN_VENV)/bin/python
TSAN_LOG := $(BUILD)/tsan-log
TSAN_TESTS := tests/test_concurrency.py tests/test_stress.py

$(TSAN_VENV)/.stamp: $(VENV)/.stamp
	python=$(TSAN_PYTHON) && [ -n "$$python" ] && "$$python" -m venv --clear --without-pip $(TSAN_VENV) \
	  && cp "$$(dirname "$$python")/../tsan-suppressions.txt" $(TSAN_VENV)/tsan-suppressions.txt
	$(PY) -m pip install -q --ignore-installed --prefix $(TSAN_VENV) --only-binary=:all: \
	  $$(grep -E '^(pytest|hypothesis)\b' requirements-test.txt)
	$(TSAN_PY) -c 'import pytest, hypothesis'
	touch $@

ext-tsan: venv $(TSAN_VENV)/.stamp
	$(CMAKE) -S . -B $(BUILD)/tsan -G Ninja -DQUORRAL_SANITIZE=thread \
	  -DPython_EXECUTABLE=$(CURDIR)/$(TSAN_PY) >/dev/null
	$(CMAKE) --build $(BUILD)/tsan --target quorral
	site=$$($(TSAN_PY) -c 'import sysconfig; print(sysconfig.get_path("platlib"))') \
	  && mkdir -p "$$site/quorral" \
	  && cp -u $(BUILD)/tsan/module/__init__.*.so python/quorral/*.pyi python/quorral/py.typed "$$site/quorral/"

# pytest on $(1) with the reports of every process logged, then the logs checked.
define tsan-run
	rm -rf $(TSAN_LOG) && mkdir -p $(TSAN_LOG)
	@echo; echo "===== pytest under ThreadSanitizer: $$($(TSAN_PY) -c 'import sys; print(sys.version.split()[0])') free-threaded ====="
	TSAN_OPTIONS="suppressions=$(CURDIR)/$(TSAN_VENV)/tsan-suppressions.txt log_path=$(CURDIR)/$(TSAN_LOG)/report halt_on_error=0" \
	  $(TSAN_PY) -m pytest -q -p no:cacheprovider $(1); rc=$$?; \
	  $(TSAN_PY) scripts/tsan-report $(TSAN_LOG) && { [ $$rc -eq 0 ] || [ $$rc -eq 5 ]; }
endef

py-test-tsan: ext-tsan
	$(call tsan-run,$(TSAN_TESTS))

py-test-tsan-full: ext-tsan
	$(call tsan-run,tests)
else
$(TSAN_TARGETS):
	@$(MAKE) --no-print-directory FLAVOUR=ft $@
endif
