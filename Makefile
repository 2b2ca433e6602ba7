# Set-up, build and checks. `make demo` and `make test` work on a fresh
# machine: they find CPython 3.12, create .venv, install what the build and
# the tests need, build the extension modules and install the package.

SHELL := /bin/bash
VENV := .venv
BIN := $(VENV)/bin
BUILD_DIR := build/cp312
DEPS := numpy scipy pytest hypothesis meson-python meson ninja mpmath \
	matplotlib "dask[array,distributed]" mypy iminuit

# CPython 3.12: on PATH if that one really is 3.12, else from pyenv.
find_python = for candidate in python3.12 \
	    "$$(pyenv root 2>/dev/null || echo $$HOME/.pyenv)"/versions/3.12*/bin/python3.12 \
	    /usr/local/bin/python3.12 /usr/bin/python3.12; do \
	  if "$$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then \
	    echo "$$candidate"; exit 0; fi; \
	done; echo "CPython 3.12 not found (install it, e.g. with pyenv)" >&2; exit 1

.PHONY: all install test test-sanitize test-kernels fuzz demo bench clean

all: install

$(BIN)/python:
	@python=$$($(find_python)) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.deps-installed: $(BIN)/python Makefile
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(BIN)/python -m pip install --quiet $(DEPS)
	touch $@

# The build directory persists, so a second run recompiles only what changed.
install: $(VENV)/.deps-installed
	$(BIN)/python -m pip install --quiet --no-build-isolation --no-deps \
	    -Cbuild-dir=$(BUILD_DIR) .

test: install
	$(BIN)/pytest

# The kernels are one text compiled for several instruction-set levels, and
# `make test` runs only the level the CPU picks. Here each level is built
# pinned (meson option kernel_level) into a build directory and install
# location of its own, and the exact-result and kernel-path tests run
# against it. A level the CPU lacks is skipped, with the reason.
KERNEL_LEVELS := generic avx2 avx512
KERNEL_TESTS := tests/test_kernel_layer.py tests/test_gaussian.py tests/test_gaussian_paths.py \
	tests/test_kernel_paths.py tests/test_deconvolution_paths.py tests/test_respgrid_paths.py \
	tests/test_gaussian_response.py tests/test_richardson_lucy.py tests/test_ml_em.py \
	tests/test_respgrid.py tests/test_unfolding.py tests/test_erfc.py tests/test_fitting.py \
	tests/test_fitting_folded.py tests/test_fitting_status.py tests/test_unfolding_stops.py tests/test_erfcx.py \
	tests/test_fitting_tails.py \
	tests/test_inputs_refused.py tests/test_peaks.py tests/test_analysis.py

test-kernels: $(VENV)/.deps-installed
	@for level in $(KERNEL_LEVELS); do \
	  case $$level in avx2) needs="avx2 fma";; avx512) needs="avx512f avx2 fma";; *) needs="";; esac; \
	  missing=""; for flag in $$needs; do grep -qw "$$flag" /proc/cpuinfo || missing="$$missing $$flag"; done; \
	  if [ -n "$$missing" ]; then echo "kernel level $$level: skipped, this CPU lacks$$missing"; continue; fi; \
	  echo "kernel level $$level"; \
	  $(BIN)/python -m pip install --quiet --no-build-isolation --no-deps --upgrade \
	      -Cbuild-dir=build/kernels-$$level --target build/kernels-$$level-site \
	      -Csetup-args=-Dkernel_level=$$level . || exit 1; \
	  TARVIX_EXPECTED_KERNEL_LEVEL=$$level PYTHONPATH=$(CURDIR)/build/kernels-$$level-site \
	      $(BIN)/pytest -q -p no:cacheprovider $(KERNEL_TESTS) || exit 1; \
	done

# A longer property-based search than the one the test suite runs.
fuzz: install
	HYPOTHESIS_PROFILE=fuzz $(BIN)/pytest tests/test_fuzz.py --hypothesis-show-statistics

# The modules built with AddressSanitizer and UndefinedBehaviorSanitizer into
# their own build directory and install location, and the whole suite run
# under them, with the sanitizer runtimes preloaded into the interpreter and
# the interpreter allocating through malloc so that overruns are seen. NumPy's
# and SciPy's BLAS run without worker threads: threads still alive at exit
# have been seen to crash LeakSanitizer's final scan ("Tracer caught signal
# 11"), and the modules use no BLAS. The build is -O1 with line tables and
# frame pointers (what the sanitizers' reports need, and the level their
# authors advise), and leaves out the test-only _kernel_probe, whose tests
# skip here: the instrumentation, not the optimiser, finds the faults, and
# the public modules run the same kernels. peaks is built without
# AddressSanitizer's use-after-scope check (see the modules' meson.build):
# with it, its instrumented build took 930 s instead of 150 s.
SANITIZE_BUILD := build/sanitize
SANITIZE_SITE := build/sanitize-site
SANITIZE_RUNTIMES = $$(c++ -print-file-name=libasan.so) $$(c++ -print-file-name=libubsan.so)

# The instrumented modules are built for the one kernel level this CPU runs
# (the highest it offers, which is all an unpinned build would run here):
# instrumenting all three levels of the flattened kernels tripled the
# build's time for no more coverage.
SANITIZE_LEVEL = $$(if grep -qw avx512f /proc/cpuinfo && grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo; \
	then echo avx512; elif grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo; then echo avx2; else echo generic; fi)

test-sanitize: $(VENV)/.deps-installed
	$(BIN)/python -m pip install --quiet --no-build-isolation --no-deps --upgrade \
	    -Cbuild-dir=$(SANITIZE_BUILD) --target $(SANITIZE_SITE) -Csetup-args=-Dkernel_level=$(SANITIZE_LEVEL) \
	    -Csetup-args=-Doptimization=1 -Csetup-args=-Ddebug=false -Csetup-args=-Db_ndebug=false \
	    -Csetup-args=-Dkernel_probe=false -Csetup-args=-Db_sanitize=address,undefined -Csetup-args=-Db_lundef=false \
	    "-Csetup-args=-Dcpp_args=-g1 -fno-omit-frame-pointer -fno-sanitize-recover=all" .
	TARVIX_SANITIZED=1 LD_PRELOAD="$(SANITIZE_RUNTIMES)" PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/$(SANITIZE_SITE) \
	    OPENBLAS_NUM_THREADS=1 \
	    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(BIN)/pytest -p no:cacheprovider

# The package against what NumPy/SciPy users would write instead: prints the
# tables and writes bench/results.json and bench/stacks.json (stacks of
# spectra and ML-EM to convergence), bench/fitting.json (peak fits against
# SciPy and iminuit, and their accuracy), bench/folded.json and bench/fold.json
# (the folded fits, and their background's fold against SciPy's M.T @ B),
# bench/fit_statuses.json (the statuses on the cases made to trouble them),
# bench/tails.json (peaks with tails: speed, statistics, a real peak)
# bench/peaks.json (the continuum and the peak search on simulated HPGe
# spectra) and bench/analysis.json (whole spectra analysed). BENCH_REPS sets the repetitions.
bench: install
	$(BIN)/python bench/run.py $(if $(BENCH_REPS),--reps $(BENCH_REPS))
	$(BIN)/python bench/stacks.py $(if $(BENCH_REPS),--reps $(BENCH_REPS))
	OPENBLAS_NUM_THREADS=1 $(BIN)/python bench/fitting.py $(if $(BENCH_REPS),--reps $(BENCH_REPS))
	OPENBLAS_NUM_THREADS=1 $(BIN)/python bench/folded.py $(if $(BENCH_REPS),--reps $(BENCH_REPS))
	OPENBLAS_NUM_THREADS=1 $(BIN)/python bench/fit_statuses.py
	OPENBLAS_NUM_THREADS=1 $(BIN)/python bench/tails.py $(if $(BENCH_REPS),--reps $(BENCH_REPS))
	OPENBLAS_NUM_THREADS=1 $(BIN)/python bench/fold.py $(if $(BENCH_REPS),--reps $(BENCH_REPS))
	OPENBLAS_NUM_THREADS=1 $(BIN)/python bench/peaks.py $(if $(BENCH_REPS),--reps $(BENCH_REPS))
	OPENBLAS_NUM_THREADS=1 $(BIN)/python bench/analysis.py --spectra 100

# The whole job on a simulated gamma spectrum: prints the table of fitted
# lines and writes demo_output/gamma_spectrum.png.
demo: install
	$(BIN)/python examples/gamma_spectrum.py
	$(BIN)/python examples/analyse_spectrum.py

clean:
	rm -rf $(BUILD_DIR) demo_output
