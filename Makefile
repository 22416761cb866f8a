# pondrel's two set-up commands:
#   make run    build the emulator and the driver, then run pondrel-sim
#   make test   pondrel.sys, then the host, AddressSanitizer and
#               ThreadSanitizer builds, each with its tests
# Other goals: windows (pondrel.sys only), host, asan, tsan (build only),
# deps (install missing packages), clean (the preset build folders).

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
# Stages run one after the other even under `make -j`: each already uses
# both cores.
.NOTPARALLEL:

JOBS ?= 2
TEST_TIMEOUT ?= 120
ARGS ?=

PRESETS := host asan tsan windows
SYS := $(CURDIR)/build/windows/pondrel.sys
# Where the tools folder may put the program, first match wins.
SIM_PLACES := build/host/tools/pondrel-sim build/host/pondrel-sim

.PHONY: run test deps windows host asan tsan test-host test-asan test-tsan clean package

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

test:
	@start=$$(date +%s); \
	$(MAKE) --no-print-directory deps windows test-host test-asan test-tsan \
	  || { echo "make test: FAILED after $$(( $$(date +%s) - start )) s (see the first error above)." >&2; exit 1; }; \
	echo "make test: pondrel.sys built; host, asan and tsan (threaded) tests passed in $$(( $$(date +%s) - start )) s."

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

test-host: windows
	$(call build_preset,host,-DPONDREL_SYS=$(SYS))
	@echo "== host: tests"
	ctest --preset host -j $(JOBS) --output-on-failure --timeout $(TEST_TIMEOUT)

test-asan: windows
	$(call build_preset,asan,-DPONDREL_SYS=$(SYS))
	@echo "== asan: tests"
	ctest --preset asan -j $(JOBS) --output-on-failure --timeout $(TEST_TIMEOUT)

test-tsan: windows
	$(call build_preset,tsan,-DPONDREL_SYS=$(SYS))
	@echo "== tsan: tests labelled threaded"
	ctest --preset tsan -L threaded -j $(JOBS) --output-on-failure --timeout $(TEST_TIMEOUT)

clean:
	rm -rf $(addprefix build/,$(PRESETS))

# The Windows package in dist/: pondrel.sys, pondrel.inf, pondrelctl.exe
# (built with pondrel.sys by the windows preset) and the install note.
CTL := $(CURDIR)/build/windows/pondrelctl.exe

package: windows
	@test -f $(CTL) || { echo "make package: $(CTL) was not produced" >&2; exit 1; }
	tools/package/make-package.sh $(SYS) $(CTL) $(CURDIR)/dist
