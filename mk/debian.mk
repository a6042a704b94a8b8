# CPython 3.14 and 3.15 as Debian forky ships them, on its glibc (the newest Debian has): the
# release wheel and the suite run in a minimal forky system that debootstrap makes once into the
# cache outside the tree, from the Debian archive the system's apt uses. Commands run in it in a
# private mount namespace, with the work tree, the shared test data and the caches (the crypto
# libraries, Zig's, pip's) mounted at their own paths; the test-only extension is built there
# against forky's headers with the release toolchain (Zig and CMake run anywhere) and forky's make and binutils.
FORKY_PYTHONS := 3.14 3.15
FORKY_PACKAGES := ca-certificates make binutils $(foreach v,$(FORKY_PYTHONS),python$(v) python$(v)-venv python$(v)-dev)
VELTRANO_CACHE_DIR := $(or $(VELTRANO_CACHE),$(or $(XDG_CACHE_HOME),$(HOME)/.cache)/veltrano)
FORKY_KEY := $(shell echo forky minbase $(FORKY_PACKAGES) | sha256sum | cut -c1-16)
FORKY_ROOT := $(VELTRANO_CACHE_DIR)/forky-$(FORKY_KEY)
DEBIAN_ROOT := $(CURDIR)/packaging/debian-root.sh
# The archive the system's apt uses (VELTRANO_DEBIAN_MIRROR when set), as packaging/deps.py finds it.
DEBIAN_MIRROR = $(shell $(PY_NEWEST) -c 'import sys; sys.path.insert(0, "packaging"); import deps; \
  print(deps.mirrors(deps.system_sources())[0])')
FORKY_BINDS := $(CURDIR) $(HOME)/.cache $(VELTRANO_CACHE_DIR) $(wildcard $(abspath $(CURDIR)/../shared))
IN_FORKY := $(DEBIAN_ROOT) run $(FORKY_ROOT) $(addprefix --bind ,$(FORKY_BINDS)) --

# debootstrap's sid script serves forky, which bookworm's debootstrap does not know by name.
$(FORKY_ROOT)/.complete: | $(STAMPS)/system
	@$(TIMED) "making a Debian forky system for CPython $(FORKY_PYTHONS) in $(FORKY_ROOT) (about 2 minutes)" \
	  $(DEBIAN_ROOT) create $(FORKY_ROOT) forky sid "$(DEBIAN_MIRROR)" "$(FORKY_PACKAGES)"
forky-root: $(FORKY_ROOT)/.complete

define forky_python
.venv-$(1)/installed: $$(RELEASE_STAMP) $$(FORKY_ROOT)/.complete
	@$$(TIMED) "installing the wheel and its test extras into .venv-$(1) (Debian forky)" $$(IN_FORKY) sh -c '\
	  { test -x .venv-$(1)/bin/python || python$(1) -m venv .venv-$(1); } && \
	  .venv-$(1)/bin/python -m pip install -q --disable-pip-version-check --upgrade pip && \
	  .venv-$(1)/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps $$(WHEEL) && \
	  .venv-$(1)/bin/python -m pip install -q --disable-pip-version-check "$$(WHEEL)[test]" mypy'
	@touch $$@

# Debian keeps pyconfig.h under its multiarch folder, which Zig's own C headers leave out: a folder
# that holds only that one, searched last.
build/testing-$(1)/built: $$(STAMPS)/system $$(TOOLS)/installed $$(ZIG_CXX) $$(DEPS_STAMP) $$(SOURCES) \
    $$(FORKY_ROOT)/.complete
	@mkdir -p build/testing-$(1)/multiarch/x86_64-linux-gnu
	@ln -sfn /usr/include/x86_64-linux-gnu/python$(1) build/testing-$(1)/multiarch/x86_64-linux-gnu/python$(1)
	$$(IN_FORKY) $$(CMAKE_PROGRAM) -S . -B build/testing-$(1) -DPython_EXECUTABLE=/usr/bin/python$(1) \
	  "-DCMAKE_CXX_FLAGS=-idirafter $$(CURDIR)/build/testing-$(1)/multiarch" \
	  -DCMAKE_C_COMPILER=$$(ZIG_CC) -DCMAKE_CXX_COMPILER=$$(ZIG_CXX) $$(addprefix -D,$$(RELEASE_DEFINES)) \
	  -DVELTRANO_WHEEL_MODULE=OFF -DVELTRANO_TESTING_MODULE=ON >/dev/null
	@$$(TIMED) "building _veltrano_testing for CPython $(1) (Debian forky)" \
	  $$(IN_FORKY) $$(CMAKE_PROGRAM) --build build/testing-$(1) -j $$(JOBS) --target _veltrano_testing
	@touch $$@

pytest-$(1): .venv-$(1)/installed build/testing-$(1)/built
	@mkdir -p $$(TEST_RESULTS)
	@cd tests && $$(TIMED) "pytest on CPython $(1) (Debian forky)" $$(IN_FORKY) \
	  env PYTHONPATH=$$(CURDIR)/build/testing-$(1) VELTRANO_RELEASE_WHEEL=$$(CURDIR)/$$(WHEEL) \
	  ../.venv-$(1)/bin/python -m pytest -q -p no:cacheprovider \
	  --junitxml=$$(CURDIR)/$$(TEST_RESULTS)/pytest-$(1).xml python
endef
$(foreach v,$(FORKY_PYTHONS),$(eval $(call forky_python,$(v))))

.PHONY: forky-root $(addprefix pytest-,$(FORKY_PYTHONS))
