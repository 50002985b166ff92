# Entry points. `make demo` and `make test` set up what is missing, build,
# install the module and run; both are safe to repeat.
PY ?= python3
JOBS ?= $(shell nproc)
BUILD := build/rel
CLANG_ENV := CC=clang-14 CXX=clang++-14

.PHONY: setup build install demo test test-cpp test-python sanitize fuzz bench clean

setup:
	@bash scripts/setup.sh

# Builds the core, the C++ tests and the benchmarks in $(BUILD) and installs
# the abi3 module from the same tree.
install: setup
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install --no-build-isolation -q .

build: install

demo: install
	$(PY) examples/quickstart.py

test-cpp: install
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-python: install
	cd python/tests && $(PY) -m pytest -q -rs
	ZV_BENCH_SMOKE=1 $(PY) bench/python/thread_scaling.py
	ZV_BENCH_SMOKE=1 $(PY) bench/python/peers_records.py

# ThreadSanitizer build of the concurrent structures' tests only.
sanitize: setup
	$(CLANG_ENV) cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZV_SANITIZE=thread -DZV_BUILD_PYTHON=ON -DZV_BUILD_BENCH=OFF >/dev/null
	cmake --build build/tsan --target zv_sanitize_tests -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j$(JOBS)

# libFuzzer targets within one total wall-clock budget (FUZZ_SECONDS),
# spread over the targets and the cores.
FUZZ_SECONDS ?= 240
fuzz: setup
	$(CLANG_ENV) cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZV_FUZZ=ON -DZV_BUILD_TESTS=OFF -DZV_BUILD_PYTHON=OFF -DZV_BUILD_BENCH=OFF >/dev/null
	cmake --build build/fuzz --target zv_fuzz_targets -j$(JOBS)
	bash scripts/run-fuzz.sh build/fuzz $(FUZZ_SECONDS)

test: test-cpp test-python sanitize fuzz

bench: install
	@for b in $(BUILD)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build
