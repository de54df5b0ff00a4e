# make        builds build/tolvane.exe (and the demo and test programs)
# make test   installs what is missing, builds, runs every test under Wine
# make demo   installs what is missing, builds, shows a token before and after
# make fuzz   fuzzes the command-line rules for FUZZ_SECONDS (default 60)
BUILD := build
TOOLCHAIN := cmake/i686-w64-mingw32.cmake

FUZZ_SECONDS := 60

.PHONY: all deps test demo fuzz clean

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

clean:
	rm -rf $(BUILD)
