# The Python suite with every test run by PARALLEL_THREADS threads at once
# (pytest-run-parallel) on the free-threaded build. Tests marked thread_unsafe
# run in one thread.
#   FT_PY   python of the free-threaded venv
#   FT_EXT  target that installs the extension into that venv
PARALLEL_THREADS ?= 4

.PHONY: py-test-parallel

$(dir $(FT_PY)).parallel-stamp: | $(FT_EXT)
	$(FT_PY) -m pip install -q --only-binary=:all: pytest-run-parallel
	touch $@

py-test-parallel: $(FT_EXT) $(dir $(FT_PY)).parallel-stamp
	$(FT_PY) -m pytest -q -p no:cacheprovider --parallel-threads=$(PARALLEL_THREADS) tests; \
	  rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]
