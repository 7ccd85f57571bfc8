# The README's commands. `make test` and `make demo` do all the set-up a
# fresh machine needs: Debian packages (the compiler, Python headers and
# venv, Eigen 3, GoogleTest, clang for fuzzing, gpsd for the live-feed
# test) and a virtual environment with the Python build and test tools.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
APT_PACKAGES := g++ python3-dev python3-venv libeigen3-dev libgtest-dev clang-19 libclang-rt-19-dev gpsd gpsd-clients
FUZZ_SECONDS ?= 5
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: setup system-deps venv build stub demo test test-engine test-python fuzz sanitize bench catalog clean

setup: system-deps venv

# Installs only what is missing; a fresh machine's package lists may be
# empty or stale, so they are refreshed once before an install.
system-deps:
	@missing=""; \
	for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

venv: $(VENV)/.installed

$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

# Builds the abi3 extension (incrementally, in build/) and installs it with
# halvane_tools into the virtual environment.
build: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps .

# The main job: a position fix on a synthesized night sky with the bundled
# catalogue. DEMO_ARGS passes options, e.g. DEMO_ARGS="--camera pinhole".
demo: build
	$(VENV)/bin/halvane demo $(DEMO_ARGS)

test-engine: setup
	$(CMAKE) -S . -B build/engine -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DHALVANE_BUILD_MODULE=OFF -DHALVANE_BUILD_TESTS=ON -DHALVANE_WERROR=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	$(CMAKE) --build build/engine
	$(CTEST) --test-dir build/engine --output-on-failure

test-python: build
	$(PY) -m pytest -q tests/python

# Rewrites the type stub from the built module; a test fails while the
# committed stub differs from what this writes.
stub: build
	$(PY) stubs/make_stub.py > stubs/halvane.pyi

# Coverage-guided fuzzing of the catalogue loader (clang's libFuzzer) from the
# seed corpus in tests/fuzz/corpus; new inputs it finds stay in build/fuzz.
# `make fuzz FUZZ_SECONDS=600` runs longer.
fuzz: setup
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-19 \
	  -DHALVANE_BUILD_MODULE=OFF -DHALVANE_BUILD_FUZZ=ON -DHALVANE_WERROR=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	$(CMAKE) --build build/fuzz --target fuzz_catalog
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz_catalog -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=1024 -timeout=5 -print_final_stats=1 \
	  build/fuzz/corpus tests/fuzz/corpus

test: fuzz test-engine test-python

# The engine tests, then the Python tests against an extension built the
# same way, under the address and undefined-behaviour sanitizers. The
# interpreter itself is not instrumented, so the runtime is preloaded and
# leak reports (the interpreter's own, at exit) are off.
sanitize: setup
	$(CMAKE) -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVANE_SANITIZE=ON \
	  -DHALVANE_BUILD_MODULE=ON -DHALVANE_BUILD_TESTS=ON -DHALVANE_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	$(CMAKE) --build build/sanitize
	$(CTEST) --test-dir build/sanitize --output-on-failure
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=$(abspath build/sanitize):$(abspath python) \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# Engine stage timings (C++, Release) on the bundled catalogue, remap
# throughput, then the Python-level benchmarks.
bench: build
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVANE_BUILD_MODULE=OFF \
	  -DHALVANE_BUILD_BENCH=ON -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	$(CMAKE) --build build/bench
	build/bench/bench_stages python/halvane_tools/data/stars.hcat python/halvane_tools/data/pairs.hprs
	build/bench/bench_remap
	@for b in bench/*.py; do [ -e "$$b" ] || continue; echo "== $$b"; $(PY) "$$b" || exit 1; done
	build/bench/bench_frames python/halvane_tools/data/stars.hcat python/halvane_tools/data/pairs.hprs

# Rebuilds the bundled catalogue and pair index from data/bsc5.dat (the
# builder is pure Python and reproduces the shipped files byte for byte).
catalog: venv
	PYTHONPATH=python $(PY) -m halvane_tools.catalog_builder --source data/bsc5.dat --bundle all \
	  --out-dir python/halvane_tools/data

clean:
	rm -rf build
