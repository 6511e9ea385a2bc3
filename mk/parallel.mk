# The Python suite with every test run by PARALLEL_THREADS threads at once
# (pytest-run-parallel) on the free-threaded build; tests marked thread_unsafe
# run in one thread. Uses the ft flavour's VENV, PY, ext, HEADING, PYTEST_OK.
PARALLEL_THREADS ?= 4

.PHONY: py-test-parallel
ifeq ($(FLAVOUR),ft)
$(VENV)/.parallel-stamp: $(VENV)/.stamp
	$(PY) -m pip install -q --only-binary=:all: pytest-run-parallel
	touch $@

py-test-parallel: ext $(VENV)/.parallel-stamp
	$(call HEADING,pytest with $(PARALLEL_THREADS) threads per test)
	$(PY) -m pytest -q -p no:cacheprovider --parallel-threads=$(PARALLEL_THREADS) tests; $(PYTEST_OK)
else
py-test-parallel:
	@$(MAKE) --no-print-directory FLAVOUR=ft $@
endif
