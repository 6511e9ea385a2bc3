# The Linux AArch64 wheel: cross-built from the same sdist with Debian's cross
# compiler against the arm64 CPython 3.13 of scripts/provision-aarch64, and
# run under qemu-user (no binfmt needed).
#   wheel-aarch64      the wheel, repaired to auditwheel's policy for it (which on an
#                      x86-64 host takes no aarch64 --plat) and checked to be no newer
#                      than $(A64_MANYLINUX), no fused multiply-add
#                      in the extension, twine, check-wheel-contents, scripts/check-wheel
#   install-aarch64    an arm64 venv ($(A64_VENV)) with pytest, hypothesis and the wheel,
#                      whose bin/python runs the interpreter under qemu
#   test-aarch64       the tests of the documented bits under qemu (A64_TESTS), from a
#                      copy of the sdist's tests; its line goes into wheel-summary
#   test-aarch64-full  the whole suite under qemu (some 50 minutes; not in make test)
#   bits-aarch64       scripts/bit-corpus on the x86-64 GIL wheel and under qemu, compared
# Uses SDIST_TREE, TOOLS, SUMMARY_DIR and PYTEST_OK of the Makefile and mk/wheels.mk.
A64 := build/aarch64
A64_MANYLINUX := manylinux_2_28_aarch64
A64_WHEELHOUSE := $(A64)/wheelhouse
A64_VENV := $(A64)/venv
A64_PY := $(A64_VENV)/bin/python
A64_SITE := $(A64_VENV)/lib/python3.13/site-packages
A64_SOABI := cpython-313-aarch64-linux-gnu
# pip takes a --platform as exactly that tag: every policy up to $(A64_MANYLINUX).
A64_PLATFORMS := $(foreach v,28 27 26 25 24 23 22 21 20 19 18 17,--platform manylinux_2_$(v)_aarch64) --platform manylinux2014_aarch64
# The sysroot, provisioned (and checked) once per make run, on first use.
A64_ROOT = $(eval A64_ROOT := $(shell scripts/provision-aarch64))$(A64_ROOT)
# Every class's documented bits, and the pool on 1, 2 and 4 workers; the batch
# members' bits are compared by bits-aarch64. The rest: test-aarch64-full.
A64_POOL := test_vec_list.py::test_pool_size_from_environment test_vec_list.py::test_pool_starts_with_the_first_job \
  test_vec_list.py::test_pool_does_not_start_when_arguments_fail test_vec_list.py::test_single_worker_gives_the_same_results \
  test_quat_list.py::test_results_do_not_depend_on_the_worker_count \
  test_vec_list_pairwise.py::test_results_are_the_same_on_every_worker_count
A64_TESTS := test_vec3d.py test_quat.py test_angle.py test_geometry.py test_module.py test_mat3.py $(A64_POOL)
# Fused multiply-adds of every kind: -ffp-contract=off must leave none.
A64_FMA := fmadd|fmsub|fnmadd|fnmsub|fmla|fmls
A64_BITS := $(A64)/bits
WPY_GIL := build/gil/wheel-venv/bin/python

.PHONY: wheel-aarch64 install-aarch64 test-aarch64 test-aarch64-full bits-aarch64

wheel-aarch64: release-tools sdist
	@test -n "$(A64_ROOT)" || { echo "no arm64 sysroot"; exit 1; }
	rm -rf $(A64)/dist $(A64_WHEELHOUSE)
	QUORRAL_AARCH64_SYSROOT=$(A64_ROOT) _PYTHON_HOST_PLATFORM=linux-aarch64 CMAKE_BUILD_PARALLEL_LEVEL=2 \
	  $(TOOLS)/python -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=$(CURDIR)/$(A64)/wheel \
	  -Ccmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/mk/aarch64-toolchain.cmake \
	  -Ccmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW -w $(A64)/dist ./$(SDIST_TREE)
	@so=$(A64)/wheel/module/__init__.$(A64_SOABI).so \
	  && n=$$(aarch64-linux-gnu-objdump -d $$so | grep -cwE '$(A64_FMA)' || true) \
	  && { [ "$$n" -eq 0 ] || { aarch64-linux-gnu-objdump -d $$so | grep -wE '$(A64_FMA)' | head; \
	       echo "$$so: $$n fused multiply-add instructions"; exit 1; }; } \
	  && echo "$$so: no fused multiply-add instruction"
	PATH=$(CURDIR)/$(TOOLS):$$PATH $(TOOLS)/auditwheel repair --plat auto -w $(A64_WHEELHOUSE) $(A64)/dist/*.whl 2>&1 | grep -v "^INFO"; exit $${PIPESTATUS[0]}
	$(TOOLS)/twine check --strict $(A64_WHEELHOUSE)/*.whl
	$(TOOLS)/check-wheel-contents $(A64_WHEELHOUSE)
	$(TOOLS)/python scripts/check-wheel --auditwheel $(TOOLS)/auditwheel --newest-policy $(A64_MANYLINUX) \
	  --soabi $(A64_SOABI) $(A64_WHEELHOUSE) | tee $(A64)/wheel-check.txt; exit $${PIPESTATUS[0]}

# The venv's python runs the arm64 interpreter under qemu with argv[0] the
# wrapper itself, so that sys.executable, the venv's site-packages and every
# child interpreter go through it too. PATH is set when a caller left it out.
# Packages come from binary wheels for $(A64_MANYLINUX) or older, the test
# releases of requirements-test.txt.
install-aarch64: wheel-aarch64
	rm -rf $(A64_VENV) && mkdir -p $(A64_VENV)/bin $(A64_SITE)
	printf 'home = /usr/bin\ninclude-system-site-packages = false\nversion = 3.13\n' >$(A64_VENV)/pyvenv.cfg
	printf '%s\n' '#!/bin/sh' '# CPython 3.13 for aarch64 under qemu-user.' ': "$${PATH:=/usr/local/bin:/usr/bin:/bin}"' \
	  'export PATH' 'exec qemu-aarch64-static -L $(A64_ROOT) -0 "$$0" $(A64_ROOT)/usr/bin/python3.13 "$$@"' >$(A64_PY)
	chmod +x $(A64_PY)
	$(TOOLS)/python -m pip install -q --target $(A64_SITE) $(A64_PLATFORMS) --only-binary=:all: \
	  --python-version 3.13 --implementation cp -r requirements-test.txt $(A64_WHEELHOUSE)/*.whl
	$(A64_PY) -c 'import platform, sys, quorral; assert platform.machine() == "aarch64" and quorral.__file__.startswith(sys.prefix), (platform.machine(), quorral.__file__)'

# The suite's files $(1) under qemu from a copy of the sdist's tests, with the
# emulated hypothesis profile; the summary line to the file $(2) when given.
define a64-pytest
	@echo; echo "===== $$($(A64_PY) -c 'import platform, sys; print(sys.implementation.name, sys.version.split()[0], "on", platform.machine(), "under qemu-user")') ====="
	@cat $(A64)/wheel-check.txt
	mkdir -p $(SUMMARY_DIR) && dir=$$(mktemp -d) && cp -r $(SDIST_TREE)/tests "$$dir/" && cd "$$dir" \
	  && start=$$(date +%s) \
	  && { QUORRAL_SOURCE=$(CURDIR)/$(SDIST_TREE) $(CURDIR)/$(A64_PY) -m pytest -q -p no:cacheprovider \
	       --hypothesis-profile=emulated $(addprefix tests/,$(1)) | tee log; rc=$${PIPESTATUS[0]}; } \
	  && { [ -z "$(2)" ] || printf '%s | %s | %s | %s | %ss\n' "3.13 aarch64 (qemu, $(if $(filter $(A64_TESTS),$(1)),bits tests,whole suite))" \
	       "$$(sed -n 's/^wheel tag: //p' $(CURDIR)/$(A64)/wheel-check.txt)" "$$(sed -n 's/^auditwheel policy: //p' $(CURDIR)/$(A64)/wheel-check.txt)" \
	       "$$(tail -n 1 log | tr -d '=' | sed 's/^ *//; s/ *$$//')" "$$(( $$(date +%s) - start ))" >$(CURDIR)/$(2); } \
	  && cd / && rm -rf "$$dir" && [ $$rc -eq 0 ] || [ $$rc -eq 5 ]
endef

test-aarch64: install-aarch64
	$(call a64-pytest,$(A64_TESTS),$(SUMMARY_DIR)/aarch64.txt)

test-aarch64-full: install-aarch64
	$(call a64-pytest,,)

# The same corpus evaluated by the x86-64 GIL wheel and by the aarch64 one
# under qemu, compared bit for bit.
bits-aarch64: install-aarch64
	@[ -x $(WPY_GIL) ] || { $(MAKE) --no-print-directory FLAVOUR=gil wheel-check \
	  && scripts/make-venv $$(scripts/find-python) build/gil/wheel-venv \
	  && $(WPY_GIL) -m pip install -q build/gil/wheelhouse/*.whl; }
	@mkdir -p $(A64_BITS)
	$(WPY_GIL) scripts/bit-corpus run $(A64_BITS)/x86_64.bits
	$(A64_PY) scripts/bit-corpus run $(A64_BITS)/aarch64.bits
	@echo; echo "===== bits: x86-64 against aarch64 under qemu ====="
	$(WPY_GIL) scripts/bit-corpus compare $(A64_BITS)/x86_64.bits $(A64_BITS)/aarch64.bits
