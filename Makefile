# Two commands for a newcomer: `make demo` and `make test`.
# Both install what is missing (Debian packages, as root), build, and run.

PYTHON      ?= /usr/bin/python3
BUILD       ?= build
VENV        ?= .venv
VENV_PY     := $(VENV)/bin/python
DEB_PACKAGES := g++ pkg-config meson ninja-build python3-dev zlib1g-dev libdeflate-dev python3-numpy python3-pytest \
                python3-pytest-timeout python3-pytest-xdist \
                python3-mesonpy python3-venv python3-pip libgtest-dev liburing-dev libhts-dev \
                python3-pysam python3-tqdm python3-matplotlib python3-dask python3-distributed python3-cryptography python3-scipy \
                python3-hypothesis mypy libxxhash-dev \
                bcftools bowtie2-examples python-pyvcf-examples isal

.PHONY: all deps build core-test install test demo clean

all: build

# Installs the Debian packages that are not there yet (only as root on Debian/Ubuntu);
# anyone else is told what to install.
deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing: $$missing"; \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	  else \
	    echo "Please install these Debian packages: $$missing"; exit 1; \
	  fi; \
	fi

$(BUILD)/build.ninja:
	meson setup $(BUILD) --python.install-env=auto -Dtests=enabled

build: deps $(BUILD)/build.ninja
	meson compile -C $(BUILD)

core-test: build
	meson test -C $(BUILD) --print-errorlogs

# Installs the package into a project-local virtual environment, as a user's `pip install .` would;
# again only when a file it is built from changed since (the stamp $(INSTALLED)), so that
# `make test` after an installation goes straight to the tests.
PACKAGE_SOURCES := meson.build meson_options.txt pyproject.toml \
                   $(shell find src -not -path '*/__pycache__*')
INSTALLED := $(VENV)/installed
install: deps $(INSTALLED)

$(INSTALLED): $(PACKAGE_SOURCES) | deps
	test -x $(VENV_PY) || $(PYTHON) -m venv --system-site-packages $(VENV)
	$(VENV_PY) -m pip install --no-build-isolation --no-index --no-deps --force-reinstall -q .
	touch $@

# The Python tests run in TEST_JOBS processes (pytest-xdist), one per core of a 2-core machine
# by default, each test file whole in one of them, its tests in their order; TEST_JOBS=0 runs
# them in this one.
TEST_JOBS ?= 2
test: core-test install
	cd tests/python && ../../$(VENV_PY) -m pytest -q -p no:cacheprovider -n $(TEST_JOBS) \
	  --dist loadfile .

# The command's road on the lambda phage genome (reference, table, matrix, plot) in demo/.
demo: install
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" sh examples/road.sh demo

clean:
	rm -rf $(BUILD) $(VENV)

# Times mutflank against the I/O floors (bench/floor.c, synchronous and batched through
# io_uring) and the pure-Python model on data generated once into bench/.data (about 600 MB
# at scale 1; a symlink to a shared folder works). QUICK=1: a tenth of the data and 3
# repetitions instead of 5, under a minute. The module is reinstalled only when its sources
# changed since the last installation.
BENCH_DATA  := bench/.data
BENCH_BIN   := build-bench
BENCH_SCALE := $(if $(filter 1,$(QUICK)),0.1,1)
BENCH_REPS  ?= $(if $(filter 1,$(QUICK)),3,5)
.PHONY: bench
bench: install $(BENCH_BIN)/floor
	$(VENV_PY) bench/run.py --floor $(BENCH_BIN)/floor --data $(BENCH_DATA) \
	  --scale $(BENCH_SCALE) --repetitions $(BENCH_REPS)

$(BENCH_BIN)/floor: bench/floor.c
	mkdir -p $(BENCH_BIN)
	$(CC) -O2 -Wall -Wextra -o $@ bench/floor.c $$(pkg-config --libs liburing)

# The command's figures (bench/cli.py): `mutflank table` rows/s on a 20-sample VCF, and the
# peak memory of `table` over 10,000 samples and of `reference` over a 1 GB FASTA line; and
# (bench/cli_pipeline.py) `matrix` on that VCF against BENCH_OLD (the src folder of an older
# checkout, e.g. a `git worktree`), 10,000 small VCFs on two workers, memory by chromosome names.
# bench/cli_fit.py: `fit` of 10,000 samples on 79 random signatures (NNLS beside a loop over
# scipy's nnls, strict) and a 1,000-resample bootstrap of 100 samples on one and two workers.
# bench/cli_plot.py: `plot` of 100 samples as panels (PNG, PDF, SVG), overviews of 1,000 and
# 10,000 samples, exposures of 1,000. bench/cli_engine.py: CPU of `table` and `matrix` on a
# 20-sample VCF of 1.06M records against zcat and bcftools query.
.PHONY: bench-cli
bench-cli: install
	$(VENV_PY) bench/cli.py --repetitions $(BENCH_REPS) $(if $(BENCH_OLD),--old $(BENCH_OLD))
	$(VENV_PY) bench/cli_classes.py $(if $(filter 1,$(QUICK)),--quick)
	$(VENV_PY) bench/cli_fit.py --repetitions $(BENCH_REPS) $(if $(filter 1,$(QUICK)),--quick)
	$(VENV_PY) bench/cli_pipeline.py --repetitions $(BENCH_REPS) $(if $(BENCH_OLD),--old $(BENCH_OLD))
	$(VENV_PY) bench/cli_plot.py $(if $(filter 1,$(QUICK)),--quick) $(if $(BENCH_OLD),--old $(BENCH_OLD))
	$(VENV_PY) bench/cli_engine.py --repetitions 3 $(if $(BENCH_OLD),--old $(BENCH_OLD))

# bench/extract.py: `extract` on cohorts planted from the published reference signatures
# (SIGNATURES, a folder of the COSMIC tables): the chosen rank, the signatures found, the
# speed on one and two workers, and a loop over scikit-learn's NMF as the baseline. QUICK=1:
# 20 replicates, ranks 2-10, and five cohorts of each kind.
SIGNATURES ?= ../shared/signatures
EXTRACT_BENCH_PACKAGES := python3-sklearn
.PHONY: bench-extract
bench-extract: install
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(EXTRACT_BENCH_PACKAGES)"
	$(VENV_PY) bench/extract.py --signatures $(SIGNATURES) \
	  $(if $(filter 1,$(QUICK)),--replicates 20 --ranks 2-10 --cohorts 5)

# Hardening. `make fuzz FUZZ_SECONDS=N` builds the libFuzzer targets in fuzz/ (clang, ASan,
# UBSan) and runs each for N seconds, failing on any finding. `make sanitize` builds the core,
# its tests and the module with ASan + UBSan in $(SAN_BUILD) and runs the core tests and the
# Python tests against them, then LeakSanitizer and valgrind over every path of the call.
HARDENING_PACKAGES := clang-14 libclang-rt-14-dev llvm-14 valgrind
FUZZ_SECONDS ?= 60
SAN_BUILD    ?= build-asan
.PHONY: hardening-deps fuzz sanitize
hardening-deps:
	@$(MAKE) --no-print-directory deps DEB_PACKAGES="$(HARDENING_PACKAGES)"

fuzz: deps hardening-deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/build_and_run.sh

$(SAN_BUILD)/build.ninja:
	meson setup $(SAN_BUILD) --python.install-env=auto -Dtests=enabled -Dbuildtype=debugoptimized \
	  -Db_sanitize=address,undefined -Db_lundef=false -Dcpp_args=-fno-sanitize-recover=all

sanitize: deps hardening-deps build $(SAN_BUILD)/build.ninja
	meson compile -C $(SAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 meson test -C $(SAN_BUILD) --print-errorlogs
	PYTHON=$(PYTHON) tests/sanitize/python_checks.sh $(SAN_BUILD) $(BUILD)

# `mutflank matrix` against one bare module call, `mutflank plot` of a 1,000-sample matrix, and
# the peak memory of matrix over many small tables and one large one (QUICK=1: a tenth).
.PHONY: bench-opportunities
# bench/opportunities.py: `opportunities` of a 300 Mb random genome against `cat` of its
# folder, matrix with and without --regions of 200,000 intervals, fits with and without
# opportunities on exome-like cohorts (data in bench/.data/opportunities, about 1 GB).
bench-opportunities: install
	$(VENV_PY) bench/opportunities.py $(if $(filter 1,$(QUICK)),--quick)

# bench/cli_inputs.py: `matrix` over 10,000 single-sample VCFs of 300 SNVs in one process
# (inputs a second; goal 2,000) and BCF read in process beside the same records as VCF and
# `bcftools view` (CPU seconds). BENCH_OLD_SITE: the site-packages folder of an older
# installed checkout, timed the same way in the same run.
.PHONY: bench-inputs
bench-inputs: install
	$(VENV_PY) bench/cli_inputs.py $(if $(filter 1,$(QUICK)),--quick) \
	  $(if $(BENCH_OLD_SITE),--old $(BENCH_OLD_SITE))

.PHONY: bench-matrix
bench-matrix: install
	$(VENV_PY) bench/cli_matrix.py $(if $(filter 1,$(QUICK)),--quick)
