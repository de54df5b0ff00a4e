# make        builds build/tolvane.exe (and the demo and test programs)
# make test   installs what is missing, builds, runs every test under Wine
# make demo   installs what is missing, builds, shows a token before and after
# make fuzz   fuzzes the command-line rules for FUZZ_SECONDS (default 60)
# make bench  size and start-to-exit time against a conventional build
BUILD := build
TOOLCHAIN := cmake/i686-w64-mingw32.cmake

FUZZ_SECONDS := 60

.PHONY: all deps test demo fuzz bench clean

all: deps
	@test -f $(BUILD)/CMakeCache.txt || \
	    cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=
	cmake --build $(BUILD) -j2
	@sha256sum $(BUILD)/tolvane.exe

deps:
	@scripts/install-deps.sh

test: all
	cd $(BUILD) && ctest --output-on-failure

demo: all
	scripts/demo

fuzz: deps
	scripts/fuzz $(FUZZ_SECONDS)

bench: all
	cmake --build $(BUILD) --target tolvane_conventional e2e_harness
	scripts/wine-prefix start
	/usr/bin/python3 scripts/bench.py $(BUILD) 30; status=$$?; scripts/wine-prefix stop; exit $$status

clean:
	rm -rf $(BUILD)
