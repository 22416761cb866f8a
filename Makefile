# pondrel's two set-up commands:
#   make run    build the emulator and the driver, then run pondrel-sim
#   make test   pondrel.sys, then the host, AddressSanitizer and
#               ThreadSanitizer builds, each with its tests (the reliability
#               programs among them), the Wine run of pondrel.sys, the
#               loaded pondrel.sys in the emulator (image-test), then
#               FUZZ_SECONDS of each fuzz target
# Other goals: windows (pondrel.sys only), host, asan, tsan, fuzz (build
# only), test-fuzz (the fuzz stage alone), wine-test (the shipped pondrel.sys
# under Wine 8.0 against the session scenarios, compared with pondrel-sim),
# image-test (the shipped pondrel.sys loaded by pondrel-sim --sys: the
# session scenarios and the demo compared with the host build, random lives
# and the interleaving search on the image), reliability (the long form: 2,000
# random lives, the sweeps, larger interleaving searches, 10 minutes per
# fuzz target, and a table of what ran), bench (the Release build of
# pondrel-sim, then its benchmark), deps (install missing packages),
# clean (the preset build folders).

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
# Stages run one after the other even under `make -j`: each already uses
# both cores.
.NOTPARALLEL:

JOBS ?= 2
# Tests at once in ctest: twice the cores, as most tests spend their time
# waiting on emulated threads and timeouts (the timed bus tests run alone).
TEST_JOBS ?= 4
TEST_TIMEOUT ?= 120
ARGS ?=

# Random lives per stage of `make test` (PONDREL_LIVES, which
# `pondrel-sim stress` reads): the host build runs the full 200; the
# sanitizer builds, several times slower, fewer.
LIVES_HOST ?= 200
LIVES_ASAN ?= 50
LIVES_TSAN ?= 20
# Seconds of each fuzz target in `make test`, and in `make reliability`.
FUZZ_SECONDS ?= 30
RELIABILITY_FUZZ_SECONDS ?= 600
RELIABILITY_LIVES ?= 2000
RELIABILITY_BUDGET ?= 2000

PRESETS := host asan tsan windows fuzz release
SYS := $(CURDIR)/build/windows/pondrel.sys
# Where the tools folder may put the program, first match wins.
SIM_PLACES := build/host/tools/pondrel-sim build/host/pondrel-sim

.PHONY: run test deps windows host asan tsan fuzz test-host test-asan test-tsan test-fuzz wine-test image-test reliability clean package bench

# Only what the program needs is built, so that a test that does not compile
# does not keep the demo from running.
run: deps
	@echo "== host: configure and build pondrel-sim"
	cmake --preset host
	@if ! ninja -C build/host -t query pondrel-sim >/dev/null 2>&1; then \
	  echo "make run: pondrel-sim is not built yet (tools/ defines no pondrel-sim target); nothing to run." >&2; \
	  exit 1; \
	fi
	cmake --build --preset host --target pondrel-sim -j $(JOBS)
	@sim=; for place in $(SIM_PLACES); do if [ -x "$$place" ]; then sim=$$place; break; fi; done; \
	if [ -z "$$sim" ]; then echo "make run: pondrel-sim was built but is in none of: $(SIM_PLACES)" >&2; exit 1; fi; \
	echo "== $$sim $(ARGS)"; \
	exec "$$sim" $(ARGS)

# The stages of `make test`, in order; each one's time is printed at the
# end, so that a slower stage shows which one it is.
TEST_STAGES := deps windows test-host wine-test image-test test-asan test-tsan test-fuzz

test:
	@start=$$(date +%s); times=; \
	for stage in $(TEST_STAGES); do \
	  stage_start=$$(date +%s); \
	  $(MAKE) --no-print-directory $$stage \
	    || { echo "make test: FAILED in $$stage after $$(( $$(date +%s) - start )) s (see the first error above)." >&2; exit 1; }; \
	  times="$$times $$stage=$$(( $$(date +%s) - stage_start ))s"; \
	done; \
	echo "make test: stage times:$$times"; \
	echo "make test: pondrel.sys built; host tests, the Wine run, the loaded image, asan and tsan (threaded) tests passed;" \
	  "each fuzz target ran $(FUZZ_SECONDS) s without a finding; $$(( $$(date +%s) - start )) s in all."

deps:
	@scripts/install-deps.sh

windows: deps
	@echo "== windows: pondrel.sys"
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)
	@test -f $(SYS) || { echo "make windows: $(SYS) was not produced" >&2; exit 1; }

# Configure and build one Linux preset. Configuring again is cheap and picks
# up a changed PONDREL_SYS.
define build_preset
	@echo "== $(1): configure and build"
	cmake --preset $(1) $(2)
	cmake --build --preset $(1) -j $(JOBS)
endef

host: deps
	$(call build_preset,host)

asan: deps
	$(call build_preset,asan)

tsan: deps
	$(call build_preset,tsan)

fuzz: deps
	$(call build_preset,fuzz)

# The reliability programs' own tests (label reliability) may take longer
# than the others; ctest keeps each test's own TIMEOUT property over
# --timeout.
test-host: windows
	$(call build_preset,host,-DPONDREL_SYS=$(SYS))
	@echo "== host: tests ($(LIVES_HOST) random lives)"
	PONDREL_LIVES=$(LIVES_HOST) ctest --preset host -j $(TEST_JOBS) --output-on-failure --timeout $(TEST_TIMEOUT)

test-asan: windows
	$(call build_preset,asan,-DPONDREL_SYS=$(SYS))
	@echo "== asan: tests ($(LIVES_ASAN) random lives)"
	PONDREL_LIVES=$(LIVES_ASAN) ctest --preset asan -j $(TEST_JOBS) --output-on-failure --timeout $(TEST_TIMEOUT)

test-tsan: windows
	$(call build_preset,tsan,-DPONDREL_SYS=$(SYS))
	@echo "== tsan: tests labelled threaded ($(LIVES_TSAN) random lives)"
	PONDREL_LIVES=$(LIVES_TSAN) ctest --preset tsan -L threaded -j $(TEST_JOBS) --output-on-failure --timeout $(TEST_TIMEOUT)

# Each fuzz target over a scratch copy of its seed corpus; a crash or a
# broken invariant fails the stage and leaves the input in build/fuzz/findings.
test-fuzz: fuzz
	@echo "== fuzz: $(FUZZ_SECONDS) s of each target"
	fuzz/run-targets.sh $(FUZZ_SECONDS) $(CURDIR)/build/fuzz/fuzz $(CURDIR)/build/fuzz/findings

# The shipped pondrel.sys under Wine 8.0: a fresh prefix in build/wine, the
# test bus (tests/wine) and pondrel.inf installed, each session of
# tests/sessions run there and on pondrel-sim, and the results compared;
# PONDREL_WINE_JOBS (3) copies of the prefix run the scenarios side by side.
# Every Wine step is bounded and the prefixes' wineservers are shut down at
# the end, so that no Wine process is left behind.
wine-test: deps windows
	@echo "== wine: pondrel-sim for the comparison"
	cmake --preset host
	cmake --build --preset host --target pondrel-sim -j $(JOBS)
	@sim=; for place in $(SIM_PLACES); do if [ -x "$$place" ]; then sim=$$place; break; fi; done; \
	if [ -z "$$sim" ]; then echo "make wine-test: pondrel-sim is in none of: $(SIM_PLACES)" >&2; exit 1; fi; \
	scripts/wine-test.sh "$$sim"

# The shipped pondrel.sys in the emulator: pondrel-sim --sys loads the
# windows preset's image and runs it under the verifier (scripts/image-test.sh).
image-test: deps windows
	@echo "== image: pondrel-sim for the loaded image"
	cmake --preset host
	cmake --build --preset host --target pondrel-sim -j $(JOBS)
	@sim=; for place in $(SIM_PLACES); do if [ -x "$$place" ]; then sim=$$place; break; fi; done; \
	if [ -z "$$sim" ]; then echo "make image-test: pondrel-sim is in none of: $(SIM_PLACES)" >&2; exit 1; fi; \
	LIVES=$(LIVES_HOST) scripts/image-test.sh "$$sim" $(SYS)

# The long form: pondrel-sim's stress, sweep and explore commands from the
# host build (only pondrel-sim is built here), and the fuzz targets.
reliability: deps fuzz
	@echo "== host: configure and build pondrel-sim"
	cmake --preset host
	cmake --build --preset host --target pondrel-sim -j $(JOBS)
	LIVES=$(RELIABILITY_LIVES) BUDGET=$(RELIABILITY_BUDGET) FUZZ_SECONDS=$(RELIABILITY_FUZZ_SECONDS) \
	  scripts/reliability.sh $(CURDIR)/build/host $(CURDIR)/build/fuzz $(CURDIR)/build/reliability

# The benchmark measures the Release build: the Debug build that `make run`
# makes is several times slower and would miss its targets. ARGS goes to
# the bench (for example ARGS="--json" or ARGS="--device my.device").
bench: deps
	@echo "== release: configure and build pondrel-sim"
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	build/release/pondrel-sim bench $(ARGS)

clean:
	rm -rf $(addprefix build/,$(PRESETS))

# The Windows package in dist/: pondrel.sys, pondrel.inf, pondrelctl.exe
# (built with pondrel.sys by the windows preset), the install note, and for
# application writers pondrel.h, its page and the example program's source.
CTL := $(CURDIR)/build/windows/pondrelctl.exe

package: windows
	@test -f $(CTL) || { echo "make package: $(CTL) was not produced" >&2; exit 1; }
	tools/package/make-package.sh $(SYS) $(CTL) $(CURDIR)/dist
