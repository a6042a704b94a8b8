# The musllinux wheel: the same sources and pins built with Zig for musl on x86-64, tagged
# musllinux_1_2 (auditwheel reads musl only on a musl host, so the tag is set here and
# packaging/check_wheel.py checks, in its musl mode, what auditwheel would), and tested on a CPython
# 3.13 built for musl by packaging/musl_python.py into the cache, from Debian's sources.
MUSL_TARGET := x86_64-linux-musl
MUSL_PLATFORM := musllinux_1_2_x86_64
MUSL_WHEEL := dist/veltrano-$(VERSION)-cp39-abi3-$(MUSL_PLATFORM).whl
MUSL_STAMP := $(STAMPS)/release-musl
# libffi's Debian source has no configure script: autoreconf writes it; tclsh generates sqlite's
# amalgamation.
MUSL_APT_PACKAGES := autoconf automake libtool tcl
$(STAMPS)/system-musl: $(STAMPS)/system
	@missing=""; for p in $(MUSL_APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  $(TIMED) --log build/logs/apt-musl.log "installing system packages:$$missing" \
	    sh -c '$(APT_GET) update -qq && $(APT_GET) install -y -qq '"$$missing"; \
	fi
	@touch $@

MUSL_ZIG := $(CURDIR)/build/zig-musl
$(MUSL_ZIG)/cc $(MUSL_ZIG)/c++ $(MUSL_ZIG)/ar $(MUSL_ZIG)/ranlib &: FORCE $(TOOLS)/installed
	$(call write_zig_tools,$(MUSL_ZIG),$(MUSL_TARGET))

MUSL_DEPS_DIR := $(CURDIR)/build/deps/$(MUSL_TARGET)
MUSL_DEPS_STAMP := $(MUSL_DEPS_DIR)/versions.json
$(MUSL_DEPS_STAMP): FORCE $(STAMPS)/system $(MUSL_ZIG)/cc $(MUSL_ZIG)/ar $(MUSL_ZIG)/ranlib
	$(call build_deps,$(MUSL_ZIG),$(MUSL_TARGET),$(MUSL_DEPS_DIR))
deps-musl: $(MUSL_DEPS_STAMP)

# The musl interpreter, built once into the cache (about as long as OpenSSL); build/musl-python
# links to it.
MUSL_PYTHON_LINK := $(CURDIR)/build/musl-python
MUSL_PYTHON := $(MUSL_PYTHON_LINK)/bin/python3.13
MUSL_PYTHON_STAMP := $(STAMPS)/musl-python
$(MUSL_PYTHON_STAMP): FORCE $(STAMPS)/system-musl $(MUSL_DEPS_STAMP)
	@$(TIMED) "the musl CPython 3.13 (built once into the cache, about 5 minutes the first time)" \
	  $(PY_NEWEST) packaging/musl_python.py build --cc $(MUSL_ZIG)/cc --ar $(MUSL_ZIG)/ar \
	  --ranlib $(MUSL_ZIG)/ranlib --deps $(MUSL_DEPS_DIR) --jobs $(JOBS) --link $(MUSL_PYTHON_LINK)
	@target=$$(readlink $(MUSL_PYTHON_LINK)); if [ "$$(cat $@ 2>/dev/null)" != "$$target" ]; then \
	  mkdir -p $(STAMPS) && echo "$$target" > $@; fi
musl-python: $(MUSL_PYTHON_STAMP)

# The musllinux wheel from the release's sdist, built by the oldest interpreter (abi3) with Zig for
# musl, then tagged: `wheel tags` renames it and rewrites its WHEEL file and RECORD.
$(TOOLS)/wheel.installed: $(TOOLS)/installed
	$(TOOLS)/bin/python -m pip install -q --disable-pip-version-check wheel
	@touch $@

$(MUSL_STAMP): $(RELEASE_STAMP) $(MUSL_ZIG)/c++ $(MUSL_DEPS_STAMP) $(TOOLS)/wheel.installed
	rm -rf build/release-musl $(MUSL_WHEEL) && mkdir -p build/release-musl
	@CC=$(MUSL_ZIG)/cc CXX=$(MUSL_ZIG)/c++ CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) \
	  $(TIMED) "building the musllinux wheel from $(SDIST) (about 3 minutes on 2 cores)" \
	  $(PY_OLDEST) -m pip wheel --no-deps --disable-pip-version-check -q -w build/release-musl \
	  --config-settings=cmake.define.VELTRANO_STATIC_DEPS=ON \
	  --config-settings=cmake.define.VELTRANO_DEPS_PREFIX=$(MUSL_DEPS_DIR) $(SDIST)
	$(TOOLS)/bin/wheel tags --remove --platform-tag $(MUSL_PLATFORM) build/release-musl/veltrano-*.whl
	mv build/release-musl/veltrano-*-$(MUSL_PLATFORM).whl dist/
	@ls -l $(MUSL_WHEEL)
	@touch $@

# The checks of the release, in their musl forms: only musl's libc needed.
release-check-musl: $(MUSL_STAMP)
	@echo "==> release checks of the musllinux wheel"
	@rm -f $(TEST_RESULTS)/release-check-musl.xml
	$(RECORD) $(TEST_RESULTS)/release-check-musl.xml check_wheel -- \
	  $(TOOLS)/bin/python packaging/check_wheel.py $(MUSL_WHEEL) $(MUSL_PLATFORM)
	$(RECORD) $(TEST_RESULTS)/release-check-musl.xml abi3audit -- $(TOOLS)/bin/abi3audit --strict --verbose $(MUSL_WHEEL)
	$(RECORD) $(TEST_RESULTS)/release-check-musl.xml twine -- $(TOOLS)/bin/twine check --strict $(MUSL_WHEEL)

# The suite against the musllinux wheel on the musl interpreter: pip there picks the musllinux
# wheels of the test dependencies itself.
MUSL_VENV := .venv-musl-3.13
$(MUSL_VENV)/installed: $(MUSL_STAMP) $(MUSL_PYTHON_STAMP)
	@if [ "$$($(MUSL_VENV)/bin/python -c 'import sys; print(sys.base_prefix)' 2>/dev/null)" != \
	  "$$(readlink $(MUSL_PYTHON_LINK))" ]; then rm -rf $(MUSL_VENV) && \
	  "$$(readlink $(MUSL_PYTHON_LINK))/bin/python3.13" -m venv $(MUSL_VENV); fi
	@$(TIMED) "installing the musllinux wheel and its test extras into $(MUSL_VENV)" sh -c '\
	  $(MUSL_VENV)/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps $(MUSL_WHEEL) && \
	  $(MUSL_VENV)/bin/python -m pip install -q --disable-pip-version-check --only-binary :all: \
	  "$(MUSL_WHEEL)[test]" mypy'
	@touch $@

# The test-only extension for the musl interpreter, with the musllinux wheel's toolchain.
build/testing-musl-3.13/built: $(MUSL_PYTHON_STAMP) $(TOOLS)/installed $(MUSL_ZIG)/c++ $(MUSL_DEPS_STAMP) $(SOURCES)
	$(CMAKE) -S . -B build/testing-musl-3.13 -DPython_EXECUTABLE=$(MUSL_PYTHON) \
	  -DCMAKE_C_COMPILER=$(MUSL_ZIG)/cc -DCMAKE_CXX_COMPILER=$(MUSL_ZIG)/c++ -DVELTRANO_STATIC_DEPS=ON \
	  -DVELTRANO_DEPS_PREFIX=$(MUSL_DEPS_DIR) -DVELTRANO_WHEEL_MODULE=OFF -DVELTRANO_TESTING_MODULE=ON >/dev/null
	@$(TIMED) "building _veltrano_testing for the musl CPython 3.13" \
	  $(CMAKE) --build build/testing-musl-3.13 -j $(JOBS) --target _veltrano_testing
	@touch $@

pytest-musl-3.13: $(MUSL_VENV)/installed build/testing-musl-3.13/built
	@mkdir -p $(TEST_RESULTS)
	@cd tests && PYTHONPATH=$(CURDIR)/build/testing-musl-3.13 VELTRANO_RELEASE_WHEEL=$(CURDIR)/$(MUSL_WHEEL) \
	  $(TIMED) "pytest on the musl CPython 3.13" ../$(MUSL_VENV)/bin/python -m pytest -q -p no:cacheprovider \
	  --junitxml=$(CURDIR)/$(TEST_RESULTS)/pytest-musl-3.13.xml python

.PHONY: deps-musl musl-python release-check-musl pytest-musl-3.13
