# The two commands a developer needs: `make run` and `make test`.
SHELL := /bin/sh
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
STAMP := $(VENV)/.deps-stamp
GTEST_DIR := build/gtest
PYTHON_DEPS := pytest hypothesis grpcio-tools protobuf scikit-build-core cmake ninja ruff mypy \
  basedpyright orjson msgspec

.PHONY: run test build gtest pytest lint check-layers debian-deps clean

run: build
	$(PY) examples/demo.py

test: check-layers build gtest pytest fuzz-ci bench-quick

$(STAMP): pyproject.toml
	@base=$$(tools/find-python.sh) || exit 1; \
	  if [ ! -x $(PY) ]; then echo "creating $(VENV) with $$base"; "$$base" -m venv $(VENV); fi
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(PYTHON_DEPS)
	touch $@

# GoogleTest comes from Debian; as root it is installed, otherwise the command is printed.
debian-deps:
	@if dpkg -s libgtest-dev >/dev/null 2>&1; then :; \
	elif [ "$$(id -u)" = 0 ]; then \
	  echo "installing libgtest-dev"; apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	else echo "missing Debian package; run: sudo apt-get install -y libgtest-dev"; exit 1; fi

# Serialised with a lock: several builds sharing build/ and .venv must not interleave.
build: $(STAMP)
	@mkdir -p build
	flock build/.lock $(PIP) install -q --no-build-isolation --no-deps .

gtest: $(STAMP) debian-deps
	@mkdir -p build
	flock build/.gtest-lock sh -c '$(VENV)/bin/cmake -S . -B $(GTEST_DIR) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja -DVELUM_BUILD_EXTENSION=OFF -DVELUM_BUILD_GTEST=ON \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null && $(VENV)/bin/cmake --build $(GTEST_DIR)'
	$(GTEST_DIR)/velum_gtest --gtest_brief=1

pytest: build
	$(PY) -m pytest

# Every #include under src/ must point to its own folder or a lower layer.
check-layers: $(STAMP)
	$(PY) tools/check_layers.py src

lint: $(STAMP)
	$(VENV)/bin/ruff check python tests examples

clean:
	rm -rf build $(VENV)

# ---- Hostile-input harnesses: sanitizers and fuzzing --------------------------
# Both use their own venv and build dir, so the normal .venv build is never touched.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_STAMP := $(ASAN_VENV)/.deps-stamp
SAN_RUN := tools/sanitizers/run.sh
FUZZ_VENV := .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
FUZZ_STAMP := $(FUZZ_VENV)/.deps-stamp
# Seconds per target: the binary decoder, then the JSON reader on text and on trees.
FUZZ_SECONDS ?= 180
FUZZ_JSON_SECONDS ?= 120
FUZZ_TREE_SECONDS ?= 120
FUZZ_CI_SECONDS ?= 30
FUZZ_CI_JSON_SECONDS ?= 15
FUZZ_CI_TREE_SECONDS ?= 15
# What the sanitizer builds compile; point it at a clean export of HEAD
# (git archive HEAD | tar -x -C DIR) while the working tree is mid-edit.
SAN_SRC ?= .

.PHONY: test-asan build-asan fuzz fuzz-ci build-fuzz

$(ASAN_STAMP) $(FUZZ_STAMP): pyproject.toml
	@base=$$(tools/find-python.sh) || exit 1; venv=$(dir $@); \
	  if [ ! -x $${venv}bin/python ]; then echo "creating $$venv with $$base"; "$$base" -m venv $$venv; fi
	$(dir $@)bin/pip install -q --upgrade pip
	$(dir $@)bin/pip install -q $(PYTHON_DEPS) $(if $(findstring fuzz,$@),atheris)
	touch $@

# gcc's AddressSanitizer and UndefinedBehaviorSanitizer, frame pointers kept for stacks.
build-asan: $(ASAN_STAMP)
	@mkdir -p build
	flock build/.asan-lock $(ASAN_VENV)/bin/pip install -q --no-build-isolation --no-deps \
	  -C build-dir=$(CURDIR)/build/asan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.VELUM_SANITIZE=address,undefined $(SAN_SRC)

# Reports go to files, printed after the run: a halt while pytest captures output
# (during collection, say) would otherwise leave nothing but the exit status. They do not
# decide the status themselves: tools the tests run (the type checker's node) inherit the
# runtime and report their own leaks there.
SAN_LOGS := $(CURDIR)/build/sanitizer-logs
test-asan: build-asan
	@rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	ASAN_OPTIONS=log_path=$(SAN_LOGS)/asan UBSAN_OPTIONS=log_path=$(SAN_LOGS)/ubsan \
	  $(SAN_RUN) gcc $(ASAN_PY) -m pytest -p no:cacheprovider; status=$$?; \
	  for f in $(SAN_LOGS)/*; do [ -f "$$f" ] && { echo "== $$f"; cat "$$f"; }; done; \
	  exit $$status

# clang with -fsanitize=fuzzer-no-link gives libFuzzer coverage of the extension
# itself; atheris' own libFuzzer + ASan runtime is preloaded (see fuzz/run.sh).
# The sources need clang 16 or later (parenthesised aggregate initialisation).
FUZZ_CLANG ?= 16
build-fuzz: $(FUZZ_STAMP)
	@command -v clang++-$(FUZZ_CLANG) >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ]; then echo "installing clang-$(FUZZ_CLANG)"; apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-$(FUZZ_CLANG) >/dev/null; \
	  else echo "missing clang-$(FUZZ_CLANG); run: sudo apt-get install -y clang-$(FUZZ_CLANG)"; exit 1; fi; }
	@mkdir -p build
	flock build/.fuzz-lock env CC=clang-$(FUZZ_CLANG) CXX=clang++-$(FUZZ_CLANG) $(FUZZ_VENV)/bin/pip install -q \
	  --no-build-isolation --no-deps -C build-dir=$(CURDIR)/build/fuzz -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.VELUM_SANITIZE=address,undefined,fuzzer-no-link \
	  -C "cmake.define.CMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined -fsanitize-trap=undefined" $(SAN_SRC)

fuzz: build-fuzz
	fuzz/run.sh $(FUZZ_PY) $(FUZZ_SECONDS)
	FUZZ_TARGET=json fuzz/run.sh $(FUZZ_PY) $(FUZZ_JSON_SECONDS)
	FUZZ_TARGET=tree fuzz/run.sh $(FUZZ_PY) $(FUZZ_TREE_SECONDS)

fuzz-ci: build-fuzz
	fuzz/run.sh $(FUZZ_PY) $(FUZZ_CI_SECONDS)
	FUZZ_TARGET=json fuzz/run.sh $(FUZZ_PY) $(FUZZ_CI_JSON_SECONDS)
	FUZZ_TARGET=tree fuzz/run.sh $(FUZZ_PY) $(FUZZ_CI_TREE_SECONDS)

# Benchmarks against protobuf (upb, pure Python) and the marshal floor; see bench/.
.PHONY: bench bench-quick bench-json bench-loading
bench: build
	$(PY) -m bench

# Only the schema-loading rows (Registry.add_file_set against upb's pool); the rest is kept.
bench-loading: build
	$(PY) -m bench --only loading

# Only the JSON rows (against json_format, orjson, msgspec); the binary rows are kept.
bench-json: build
	$(PY) -m bench --only json

bench-quick: build
	$(PY) -m bench --quick
