# Wheels: one sdist, and from it a wheel per interpreter, repaired to the
# manylinux policy, checked, and tested from a fresh venv.
#   sdist          build/sdist/quorral-<version>.tar.gz, unpacked in build/sdist/tree
#   wheel          the FLAVOUR's wheel from that tree, in $(BUILD)/wheelhouse
#   wheel-check    twine, check-wheel-contents, scripts/check-wheel (metadata, files,
#                  auditwheel's policy no newer than $(MANYLINUX))
#   wheel-test     the suite against the wheel installed in a fresh venv, run from a
#                  directory outside the checkout on a copy of the sdist's tests
#   stubtest-wheel stubtest and mypy against that venv, stubtest also with the newest mypy
#   compile-ft     (3.14, 3.15) the extension compiled against the interpreter's
#                  headers with Py_GIL_DISABLED: those free-threaded builds are not run
#   wheels         wheel-check for every flavour
# The release tools live in the GIL build's venv (.venv). Uses VENV, PY, PYTHON,
# BUILD, CMAKE, HEADING, PYTEST_OK and install-test-deps of the Makefile.
MANYLINUX := manylinux_2_28_x86_64
WHEEL_FLAVOURS := gil ft 3.14 3.15
TOOLS := .venv/bin
SDIST_DIR := build/sdist
SDIST_TREE := $(SDIST_DIR)/tree
WHEELHOUSE := $(BUILD)/wheelhouse
WHEEL_VENV := $(BUILD)/wheel-venv
WPY := $(WHEEL_VENV)/bin/python
SUMMARY_DIR := build/wheel-summary

.PHONY: release-tools sdist wheel wheel-check wheel-test stubtest-wheel compile-ft wheels wheel-summary

$(TOOLS)/.release-stamp: requirements-release.txt
	$(MAKE) --no-print-directory FLAVOUR=gil venv
	$(TOOLS)/python -m pip install -q --only-binary=:all: -r requirements-release.txt
	touch $@

release-tools: $(TOOLS)/.release-stamp

# The sdist holds one fixed time for every file: unpacked, files take the time
# of unpacking, and those that did not change since the last tree keep that
# tree's time, so that the wheels' build directories rebuild what changed.
sdist: release-tools
	rm -rf $(SDIST_DIR)/*.tar.gz $(SDIST_DIR)/tree.new
	$(TOOLS)/python -m build -q --sdist --no-isolation --outdir $(SDIST_DIR) . >/dev/null
	mkdir -p $(SDIST_DIR)/tree.new
	tar -xzmf $(SDIST_DIR)/*.tar.gz -C $(SDIST_DIR)/tree.new --strip-components=1
	cd $(SDIST_DIR)/tree.new && find . -type f | while read -r f; do \
	  ! cmp -s "$$f" "../tree/$$f" || touch -r "../tree/$$f" "$$f"; done
	rm -rf $(SDIST_TREE) && mv $(SDIST_DIR)/tree.new $(SDIST_TREE)

wheel: venv sdist
	rm -rf $(BUILD)/dist $(WHEELHOUSE)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD)/wheel -w $(BUILD)/dist ./$(SDIST_TREE)
	PATH=$(CURDIR)/$(TOOLS):$$PATH $(TOOLS)/auditwheel repair --plat $(MANYLINUX) -w $(WHEELHOUSE) $(BUILD)/dist/*.whl 2>&1 | grep -v "^INFO"; exit $${PIPESTATUS[0]}

wheel-check: wheel
	$(TOOLS)/twine check --strict $(WHEELHOUSE)/*.whl $(SDIST_DIR)/*.tar.gz
	$(TOOLS)/check-wheel-contents $(WHEELHOUSE)
	$(PY) scripts/check-wheel --auditwheel $(TOOLS)/auditwheel --newest-policy $(MANYLINUX) $(WHEELHOUSE) \
	  | tee $(BUILD)/wheel-check.txt; exit $${PIPESTATUS[0]}

wheel-test: wheel-check
	scripts/make-venv $(PYTHON) $(WHEEL_VENV)
	$(call install-test-deps,$(WPY),$(WHEELHOUSE)/*.whl)
	$(call HEADING,pytest from the installed wheel)
	@cat $(BUILD)/wheel-check.txt
	mkdir -p $(SUMMARY_DIR) && dir=$$(mktemp -d) && cp -r $(SDIST_TREE)/tests "$$dir/" && cd "$$dir" \
	  && $(CURDIR)/$(WPY) -c 'import quorral, sys; assert quorral.__file__.startswith(sys.prefix), quorral.__file__' \
	  && start=$$(date +%s) \
	  && { QUORRAL_SOURCE=$(CURDIR)/$(SDIST_TREE) $(CURDIR)/$(WPY) -m pytest -q -p no:cacheprovider tests | tee log; \
	       rc=$${PIPESTATUS[0]}; } \
	  && printf '%s | %s | %s | %s | %ss\n' "$$($(CURDIR)/$(WPY) -c 'import sys, sysconfig; print(sys.version.split()[0] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')" \
	       "$$(sed -n 's/^wheel tag: //p' $(CURDIR)/$(BUILD)/wheel-check.txt)" "$$(sed -n 's/^auditwheel policy: //p' $(CURDIR)/$(BUILD)/wheel-check.txt)" \
	       "$$(tail -n 1 log | tr -d '=' | sed 's/^ *//; s/ *$$//')" "$$(( $$(date +%s) - start ))" >$(CURDIR)/$(SUMMARY_DIR)/$(FLAVOUR).txt \
	  && cd / && rm -rf "$$dir" && [ $$rc -eq 0 ] || [ $$rc -eq 5 ]

# stubtest with the pinned mypy, then with the newest one where it installs
# from binary wheels (its own venv, importing the wheel venv's package): the
# releases report different things (python/stubtest-allowlist.txt).
NEWEST_MYPY := $(BUILD)/mypy-newest
stubtest-wheel: wheel-test
	$(call stubtest-run,$(WPY))
	@scripts/make-venv $(PYTHON) $(NEWEST_MYPY) \
	  && if $(NEWEST_MYPY)/bin/python -m pip install -q --only-binary=:all: --upgrade mypy >/dev/null 2>&1; then \
	    echo "stubtest with $$($(NEWEST_MYPY)/bin/python -m mypy --version)"; \
	    PYTHONPATH=$$($(WPY) -c 'import sysconfig; print(sysconfig.get_path("platlib"))') \
	      $(NEWEST_MYPY)/bin/python scripts/stubtest --allowlist python/stubtest-allowlist.txt quorral; \
	  else echo "stubtest with the newest mypy skipped: it has no binary wheel for this interpreter"; fi

compile-ft: venv
	$(CMAKE) -S . -B $(BUILD)/compile-ft -G Ninja -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	  -DCMAKE_CXX_FLAGS=-DPy_GIL_DISABLED=1 >/dev/null
	$(CMAKE) --build $(BUILD)/compile-ft --target quorral
	@echo "compiled against the CPython $(FLAVOUR) headers with Py_GIL_DISABLED (built, not run)"

wheels:
	for f in $(WHEEL_FLAVOURS); do $(MAKE) --no-print-directory FLAVOUR=$$f wheel-check || exit 1; done

# The table of the wheel-test runs of this build tree.
wheel-summary:
	@echo; echo "===== wheels: interpreter | wheel tag | auditwheel policy | pytest from the installed wheel | time ====="
	@cat $(SUMMARY_DIR)/*.txt

# The cibuildwheel matrix of pyproject.toml, printed and compared with the
# identifiers it must name (it cannot run here: there is no container runtime).
CIBW_EXPECTED := $(foreach arch,x86_64 aarch64,$(foreach py,cp313 cp314 cp314t cp315 cp315t,$(py)-manylinux_$(arch)))
.PHONY: cibuildwheel-matrix
cibuildwheel-matrix: release-tools
	@found=$$($(TOOLS)/cibuildwheel --print-build-identifiers --platform linux --archs x86_64,aarch64 . | xargs) \
	  && echo "cibuildwheel builds: $$found" && [ "$$found" = "$(CIBW_EXPECTED)" ] \
	  || { echo "expected: $(CIBW_EXPECTED)"; exit 1; }
