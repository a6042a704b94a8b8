# The aarch64 wheel: built with Zig for aarch64 from the same pins and recipe as the x86-64 wheel,
# given the same release checks, and tested under qemu-user emulation with Debian's own arm64
# CPython (make test runs part of the suite there, make test-aarch64 all of it).
.PHONY: deps-aarch64 wheel-aarch64 release-check-aarch64 test-aarch64 pytest-aarch64-quick-%

# Binutils for aarch64 objects (the libsodium partial link), and the emulator.
APT_PACKAGES += binutils-aarch64-linux-gnu qemu-user-static

AARCH64_ZIG_TARGET := aarch64-linux-gnu.2.26
# The emulated interpreter of make test, which also runs auditwheel for the aarch64 wheel.
AARCH64_QUICK_PY := 3.11
AARCH64_PLATFORM := manylinux_2_26_aarch64
AARCH64_WHEEL := dist/veltrano-$(VERSION)-cp39-abi3-$(AARCH64_PLATFORM).whl
AARCH64_STAMP := $(STAMPS)/release-aarch64
AARCH64_ZIG_DIR := $(CURDIR)/build/zig-aarch64
$(AARCH64_ZIG_DIR)/cc $(AARCH64_ZIG_DIR)/c++ $(AARCH64_ZIG_DIR)/ar $(AARCH64_ZIG_DIR)/ranlib &: FORCE $(TOOLS)/installed
	$(call write_zig_tools,$(AARCH64_ZIG_DIR),$(AARCH64_ZIG_TARGET))

AARCH64_DEPS_DIR := $(CURDIR)/build/deps/$(AARCH64_ZIG_TARGET)
AARCH64_DEPS_STAMP := $(AARCH64_DEPS_DIR)/versions.json
$(AARCH64_DEPS_STAMP): FORCE $(STAMPS)/system $(AARCH64_ZIG_DIR)/cc $(AARCH64_ZIG_DIR)/ar $(AARCH64_ZIG_DIR)/ranlib
	$(call build_deps,$(AARCH64_ZIG_DIR),$(AARCH64_ZIG_TARGET),$(AARCH64_DEPS_DIR))
deps-aarch64: $(AARCH64_DEPS_STAMP)

# The wheel, from the same sdist, with Zig's aarch64 toolchain and binutils for aarch64 objects;
# tagged by hand (the build machine is x86-64), then by auditwheel once it has checked it.
# auditwheel repairs for the machine it runs on, so it runs on the emulated arm64 CPython; nothing
# is grafted into the wheel, so it needs no patchelf there.
AARCH64_LD := aarch64-linux-gnu-ld
AARCH64_OBJCOPY := aarch64-linux-gnu-objcopy
AARCH64_DEFINES = VELTRANO_STATIC_DEPS=ON VELTRANO_DEPS_PREFIX=$(AARCH64_DEPS_DIR) \
  VELTRANO_LD=$(AARCH64_LD) VELTRANO_OBJCOPY=$(AARCH64_OBJCOPY)
AARCH64_AUDITWHEEL := build/aarch64/auditwheel
$(AARCH64_AUDITWHEEL)/installed: $(TOOLS)/installed
	rm -rf $(AARCH64_AUDITWHEEL)
	$(TOOLS)/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: --target $(AARCH64_AUDITWHEEL) \
	  auditwheel==$$($(TOOLS)/bin/python -c 'import importlib.metadata as m; print(m.version("auditwheel"))')
	@touch $@

wheel-aarch64: $(AARCH64_STAMP)
$(AARCH64_STAMP): $(RELEASE_STAMP) $(AARCH64_ZIG_DIR)/c++ $(AARCH64_DEPS_STAMP) $(AARCH64_AUDITWHEEL)/installed \
    build/aarch64/root-$(AARCH64_QUICK_PY)
	rm -rf build/release-aarch64 $(AARCH64_WHEEL) && mkdir -p build/release-aarch64
	@CC=$(AARCH64_ZIG_DIR)/cc CXX=$(AARCH64_ZIG_DIR)/c++ CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) \
	  $(TIMED) "building the aarch64 wheel from $(SDIST) (about 3 minutes on 2 cores)" \
	  $(PY_OLDEST) -m pip wheel --no-deps --no-cache-dir --disable-pip-version-check -q -w build/release-aarch64 \
	  --config-settings=wheel.tags=cp39-abi3-linux_aarch64 \
	  $(addprefix --config-settings=cmake.define.,$(AARCH64_DEFINES)) $(SDIST)
	root=$$(cat build/aarch64/root-$(AARCH64_QUICK_PY)) && QEMU_LD_PREFIX=$$root PYTHONPATH=$(AARCH64_AUDITWHEEL) \
	  qemu-aarch64-static $$root/usr/bin/python$(AARCH64_QUICK_PY) -m auditwheel repair --patcher none \
	  --plat $(AARCH64_PLATFORM) --only-plat -w dist build/release-aarch64/veltrano-*.whl
	@ls -l $(AARCH64_WHEEL)
	@touch $@

release-check-aarch64: $(AARCH64_STAMP)
	@echo "==> release checks of the aarch64 wheel"
	@rm -f $(TEST_RESULTS)/release-check-aarch64.xml
	$(RECORD) $(TEST_RESULTS)/release-check-aarch64.xml check_wheel -- \
	  $(TOOLS)/bin/python packaging/check_wheel.py $(AARCH64_WHEEL) $(AARCH64_PLATFORM)
	$(RECORD) $(TEST_RESULTS)/release-check-aarch64.xml auditwheel -- $(TOOLS)/bin/auditwheel show $(AARCH64_WHEEL)
	$(RECORD) $(TEST_RESULTS)/release-check-aarch64.xml abi3audit -- \
	  $(TOOLS)/bin/abi3audit --strict --verbose $(AARCH64_WHEEL)
	$(RECORD) $(TEST_RESULTS)/release-check-aarch64.xml twine -- $(TOOLS)/bin/twine check --strict $(AARCH64_WHEEL)

# Debian's own arm64 CPython (bookworm's 3.11, trixie's 3.13) and its libraries, unpacked into a
# root in the cache (packaging/foreign_root.py); build/aarch64/root-V names it.
AARCH64_SUITE_3.11 := bookworm
AARCH64_SUITE_3.13 := trixie
build/aarch64/root-%: FORCE $(STAMPS)/system
	@mkdir -p build/aarch64
	@test -f $@ && test -f "$$(cat $@)/.complete" || { \
	  echo "==> Debian's arm64 CPython $* (unpacked once into the cache) ..." && \
	  $(PY_NEWEST) packaging/foreign_root.py --arch arm64 --suite $(AARCH64_SUITE_$*) --with-updates \
	    python$* --alone libpython$*-dev > $@.new && mv $@.new $@; }

# glibc 2.36 (bookworm's) or older; pip does not take older manylinux tags from a newer one.
AARCH64_TEST_PLATFORMS := $(foreach minor,$(shell seq 17 36),--platform manylinux_2_$(minor)_aarch64)

# A virtual environment whose python runs that interpreter under qemu-user: qemu hands it the
# script's path as argv[0], so sys.executable is the script and a subprocess runs emulated too
# (there is no binfmt_misc here). The wheel and the test extras are manylinux aarch64 wheels,
# installed by the build machine's pip.
.venv-aarch64-%/installed: $(AARCH64_STAMP) build/aarch64/root-%
	rm -rf .venv-aarch64-$* && mkdir -p .venv-aarch64-$*/bin
	root=$$(cat build/aarch64/root-$*) && \
	  printf 'home = /usr/bin\ninclude-system-site-packages = false\nversion = %s\n' \
	    "$$(sed -n 's/^python$* \(.*\)-.*/\1/p' $$root/.complete)" > .venv-aarch64-$*/pyvenv.cfg && \
	  printf '#!/bin/sh\nQEMU_LD_PREFIX=%s exec %s -0 "$$0" %s/usr/bin/python$* "$$@"\n' \
	    "$$root" "$$(command -v qemu-aarch64-static)" "$$root" > .venv-aarch64-$*/bin/python
	chmod +x .venv-aarch64-$*/bin/python && ln -s python .venv-aarch64-$*/bin/python3
	$(TIMED) "installing the aarch64 wheel and its test extras into .venv-aarch64-$*" \
	  $(PY_NEWEST) -m pip install -q --disable-pip-version-check --root-user-action=ignore --only-binary=:all: \
	  --target .venv-aarch64-$*/lib/python$*/site-packages $(AARCH64_TEST_PLATFORMS) \
	  --python-version $* --implementation cp --abi cp$(subst .,,$*) --abi abi3 --abi none \
	  "$(AARCH64_WHEEL)[test]" pip mypy
	.venv-aarch64-$*/bin/python -c 'import platform, veltrano; print(platform.machine(), veltrano.__file__)'
	@touch $@

# The test-only extension for that interpreter: its headers, with the arm64 pyconfig.h, from the root.
# FindPython names the module for the build machine's interpreter; build/testing-aarch64-V/import
# has it under the emulated one's name.
build/testing-aarch64-%/built: $(STAMPS)/system $(TOOLS)/installed $(AARCH64_ZIG_DIR)/c++ $(AARCH64_DEPS_STAMP) $(SOURCES) build/aarch64/root-%
	rm -rf build/aarch64/include-$* && mkdir -p build/aarch64
	root=$$(cat build/aarch64/root-$*) && cp -r $$root/usr/include/python$* build/aarch64/include-$* && \
	  cp $$root/usr/include/aarch64-linux-gnu/python$*/pyconfig.h build/aarch64/include-$*/pyconfig.h
	$(CMAKE) -S . -B build/testing-aarch64-$* -DPython_EXECUTABLE=$(call python_of,$*) \
	  -DPython_INCLUDE_DIR=$(CURDIR)/build/aarch64/include-$* \
	  -DCMAKE_C_COMPILER=$(AARCH64_ZIG_DIR)/cc -DCMAKE_CXX_COMPILER=$(AARCH64_ZIG_DIR)/c++ \
	  $(addprefix -D,$(AARCH64_DEFINES)) -DVELTRANO_WHEEL_MODULE=OFF -DVELTRANO_TESTING_MODULE=ON >/dev/null
	@$(TIMED) "building _veltrano_testing for the arm64 CPython $*" \
	  $(CMAKE) --build build/testing-aarch64-$* -j $(JOBS) --target _veltrano_testing
	mkdir -p build/testing-aarch64-$*/import && cp build/testing-aarch64-$*/_veltrano_testing.*.so \
	  build/testing-aarch64-$*/import/_veltrano_testing.cpython-$(subst .,,$*)-aarch64-linux-gnu.so
	@touch $@

# make test runs the vectors, the cross-checks with cryptography, argon2-cffi and hashlib, and the
# process-life tests under emulation, with qemu's default CPU (Armv8 AES, PMULL and SHA-2
# instructions) and again with OPENSSL_armcap=0 (OpenSSL's C code); make test-aarch64 runs the
# whole suite on each interpreter. A subprocess takes seconds to start there, so the timeouts that
# allow for a slow machine are longer.
AARCH64_PY_VERSIONS := 3.11 3.13
# Of the 20 exits with busy daemon threads per kind of work (a few minutes each there), make test
# runs those busy deriving.
AARCH64_QUICK_TESTS := python/test_aead.py python/test_derive_key.py python/test_process_life.py \
  python/test_random.py -k "not (daemon_threads_busy_at_exit and crypt)"
AARCH64_ARMCAP0_TESTS := python/test_aead.py python/test_derive_key.py
# OpenSSL's C code in make test: AES-GCM's vectors and cross-checks, PBKDF2 against hashlib.
AARCH64_QUICK_ARMCAP0_TESTS := $(AARCH64_ARMCAP0_TESTS) -k "test_aead or cross_check_pbkdf2"
aarch64_pytest = @cd tests && $(TIMED) "$(4) under qemu-user" env PYTHONPATH=$(CURDIR)/build/testing-aarch64-$(1)/import \
  VELTRANO_RELEASE_WHEEL=$(CURDIR)/$(AARCH64_WHEEL) VELTRANO_TEST_TIMEOUT=600 $(2) \
  ../.venv-aarch64-$(1)/bin/python -m pytest -q \
  -p no:cacheprovider --junitxml=$(CURDIR)/$(TEST_RESULTS)/$(3).xml

pytest-aarch64-quick-%: .venv-aarch64-%/installed build/testing-aarch64-%/built
	@mkdir -p $(TEST_RESULTS)
	$(call aarch64_pytest,$*,,pytest-aarch64-$*,part of pytest on the arm64 CPython $*) $(AARCH64_QUICK_TESTS)
	$(call aarch64_pytest,$*,OPENSSL_armcap=0,pytest-aarch64-armcap0-$*,OpenSSL's C code on the arm64 CPython $*) \
	  $(AARCH64_QUICK_ARMCAP0_TESTS)

pytest-aarch64-%: .venv-aarch64-%/installed build/testing-aarch64-%/built
	@mkdir -p $(TEST_RESULTS)
	$(call aarch64_pytest,$*,,pytest-aarch64-$*,pytest on the arm64 CPython $*) python
	$(call aarch64_pytest,$*,OPENSSL_armcap=0,pytest-aarch64-armcap0-$*,OpenSSL's C code on the arm64 CPython $*) \
	  $(AARCH64_ARMCAP0_TESTS)

test-aarch64: release-check-aarch64 $(addprefix pytest-aarch64-,$(AARCH64_PY_VERSIONS))
