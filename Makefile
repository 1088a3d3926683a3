# Drives CMake. `make demo` builds and runs the main job on the shipped sample;
# `make test` installs the Debian packages the build and the tests need, builds
# and runs every test (the tests need GoogleTest; the programs do not).
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

# Sanitizer build of the test suite, and the fuzz targets (clang's libFuzzer).
SANITIZE_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all build packages demo sample drift-sample test test-sanitize fuzz install bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# The shipped synthetic recording: its block headers, the amplitude table of
# its 5 MHz group and, where gnuplot is installed, its ionogram as a picture;
# where the Python package and matplotlib are, the same picture from Python,
# its scaled ionogram, and foF2 and h'F over a synthesized day.
demo: build
	$(BUILD)/bin/kesp examples/sample.16c
	$(BUILD)/bin/tolvek -a -f 5 examples/sample.16c
	@if command -v gnuplot > /dev/null 2>&1; then \
	  $(BUILD)/bin/tolvek -s examples/sample.16c > $(BUILD)/ionogram.rows && \
	  gnuplot -e "datafile='$(BUILD)/ionogram.rows'; outfile='$(BUILD)/ionogram.png'" \
	    examples/ionogram.gp && \
	  echo "The ionogram of examples/sample.16c is in $(BUILD)/ionogram.png"; \
	else \
	  echo "gnuplot is not installed (Debian package gnuplot-nox): no picture drawn"; \
	fi
	@if [ -d $(BUILD)/python/site/digisonde16c ] && \
	    /usr/bin/python3 -c "import matplotlib" > /dev/null 2>&1; then \
	  PYTHONPATH=$(BUILD)/python/site /usr/bin/python3 examples/ionogram.py \
	    examples/sample.16c $(BUILD)/ionogram-python.png && \
	  PYTHONPATH=$(BUILD)/python/site /usr/bin/python3 examples/drift.py \
	    examples/drift.16c $(BUILD)/drift-velocity.png $(BUILD)/drift-skymap.png && \
	  $(MAKE) --no-print-directory $(BUILD)/day.16c && \
	  PYTHONPATH=$(BUILD)/python/site /usr/bin/python3 examples/scaled_ionogram.py \
	    examples/sample.16c $(BUILD)/scaled-ionogram.png && \
	  PYTHONPATH=$(BUILD)/python/site /usr/bin/python3 examples/scaled_ionogram.py \
	    --series $(BUILD)/day.16c $(BUILD)/scaled-day.png; \
	fi

# A synthesized day of 48 sweeps, one each half hour, whose layers rise and
# fall with the sun (foF2 3-9 MHz, an E layer by day), for the picture of
# foF2 and h'F against time.
DAY_SWEEP_OPTIONS = --frequencies 53 --first 1 --last 14 --step 2 --gyro 1.2 \
  --hmE 110 --ymE 15 --ymF2 70
$(BUILD)/day.16c: build
	@rm -f $@ $@.sweep
	@echo "Synthesizing 48 sweeps into $@"
	@for i in $$(seq 0 47); do \
	  set -- $$(awk -v i=$$i 'BEGIN { h = i / 2; s = sin(3.14159265 * (h - 6) / 12); \
	    if (s < 0) s = 0; printf "%.2f %.0f %.2f %02d:%02d:00", 3 + 6 * s, 330 - 70 * s, \
	    (s > 0.15 ? 1.5 + 2 * s : 0), int(h), (i % 2) * 30 }'); \
	  $(BUILD)/bin/synth16c $(DAY_SWEEP_OPTIONS) --foF2 $$1 --hmF2 $$2 --foE $$3 \
	    --start "2024 172 $$4" --seed $$((i + 1)) $@.sweep && cat $@.sweep >> $@ || exit 1; \
	done; rm -f $@.sweep

# Regenerates examples/sample.16c and, with gnuplot, docs/ionogram.png;
# with the Python package and matplotlib, docs/scaled-ionogram.png.
SAMPLE_OPTIONS = --frequencies 45 --first 1 --last 12 --foE 3 --hmE 110 --ymE 15 \
  --foF2 7.5 --hmF2 300 --ymF2 80 --start '2024 172 12:00:00' --step 2 --seed 1
sample: build
	$(BUILD)/bin/synth16c $(SAMPLE_OPTIONS) examples/sample.16c
	$(BUILD)/bin/tolvek -s examples/sample.16c > $(BUILD)/ionogram.rows
	gnuplot -e "datafile='$(BUILD)/ionogram.rows'; outfile='docs/ionogram.png'" \
	  examples/ionogram.gp
	PYTHONPATH=$(BUILD)/python/site /usr/bin/python3 examples/scaled_ionogram.py \
	  examples/sample.16c docs/scaled-ionogram.png

# Regenerates examples/drift.16c: 60 drift groups at 4 MHz, 5 s apart, in the
# layout of 2 Doppler lines (vertical and six oblique beams), drifting at
# (80, -50, 12) m/s east, north, up with 8 m/s of jitter per group.
DRIFT_SAMPLE_OPTIONS = --lines 2 --groups 60 --step 5 --frequency 4 --east 80 --north -50 \
  --up 12 --jitter 8 --height 260 --width 2 --start '2024 172 12:00:00' --seed 1
drift-sample: build
	$(BUILD)/bin/synth16c drift $(DRIFT_SAMPLE_OPTIONS) examples/drift.16c

# The Debian packages that the build and the tests need (tools/install_packages.sh
# core): installed when missing as root, else the command to run is printed.
# The tests that need the optional pictures group are skipped without it;
# `bash tools/install_packages.sh all` installs every group, as .ci/run does.
packages:
	bash tools/install_packages.sh core

# Without GoogleTest the build has no tests, and ctest says so and fails.
test: packages
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report ends the test that made it.
test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure --no-tests=error -j $(JOBS)

# Builds the fuzz targets and runs each for $(FUZZ_SECONDS) seconds; installs
# clang and its libFuzzer runtime first when they are missing.
fuzz:
	bash tools/install_packages.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	fuzz/run_fuzzers.sh $(FUZZ_BUILD)/bin $(FUZZ_SECONDS) $(FUZZ_BUILD)/fuzz-work

# The three programs into $(PREFIX)/bin, their pages into $(PREFIX)/share/man/man1.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Output throughput of the three programs against cat and a printf port, in
# its own Release build; never part of test or CI. See bench/run_bench.sh.
# Installs Google Benchmark and GNU time first when they are missing.
BENCH_BUILD ?= build-bench
bench:
	bash tools/install_packages.sh bench
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	bash bench/run_bench.sh $(BENCH_BUILD)

# Every build tree the targets above make.
clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
