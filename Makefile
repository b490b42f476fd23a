# The two commands a developer needs: `make run` and `make test`.
SHELL := /bin/sh
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
STAMP := $(VENV)/.deps-stamp
GTEST_DIR := build/gtest
PYTHON_DEPS := pytest hypothesis grpcio-tools protobuf scikit-build-core cmake ninja ruff

.PHONY: run test build gtest pytest lint debian-deps clean

run: build
	$(PY) examples/demo.py

test: build gtest pytest

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

lint: $(STAMP)
	$(VENV)/bin/ruff check python tests examples

clean:
	rm -rf build $(VENV)
