# make        builds build/tolvane.exe (i686) and build/x64/tolvane.exe (x86_64),
#             with the demo and test programs of each
# make test   installs what is missing, builds, runs every test under Wine
# make demo   installs what is missing, builds, shows a token before and after
# make fuzz   fuzzes the command-line rules for FUZZ_SECONDS (default 60)
# make bench  size and start-to-exit time of each image against a conventional build
# make dist   writes the release: dist/tolvane-<version>.zip, the per-machine
#             packages dist/tolvane-<version>-x64.msi and -x86.msi, and SHA256SUMS;
#             signed with SIGN_CERT=cert.pem SIGN_KEY=key.pem, SIGN_PKCS12=file.pfx, or
#             SIGN_CERT=cert.pem SIGN_PKCS11_MODULE=module.so SIGN_PKCS11_KEY='pkcs11:...'
#             (a key in a token), with SIGN_PASSWORD_FILE= (password or PIN) and
#             SIGN_TIMESTAMP_URL= (an RFC 3161 service; "none" for none)
BUILD := build
X64 := $(BUILD)/x64

FUZZ_SECONDS := 60

.PHONY: all deps test demo fuzz bench dist clean

all: deps
	@test -f $(BUILD)/CMakeCache.txt || \
	    cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=
	@test -f $(X64)/CMakeCache.txt || \
	    cmake -S . -B $(X64) -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=
	cmake --build $(BUILD) -j2
	cmake --build $(X64) -j2
	@sha256sum $(BUILD)/tolvane.exe $(X64)/tolvane.exe | sed "s/^/Tolvane $$(cat $(BUILD)/VERSION)  /"

deps:
	@scripts/install-deps.sh

# One CTest run in build/ runs the tests of both trees. CTest does not show
# a skipped test's output, so the reasons are printed after its summary.
test: all
	@cd $(BUILD) && ctest --output-on-failure; status=$$?; \
	    $(CURDIR)/scripts/wine-host note; \
	    grep -h '^skip: ' Testing/Temporary/LastTest.log | sort -u | sed 's/^skip: /Skipped: /'; \
	    exit $$status

demo: all
	scripts/demo

fuzz: deps
	scripts/fuzz $(FUZZ_SECONDS)

bench: all
	scripts/wine-prefix start
	/usr/bin/python3 scripts/bench.py $(BUILD) 30; status=$$?; scripts/wine-prefix stop; exit $$status

dist: all
	@SIGN_CERT='$(SIGN_CERT)' SIGN_KEY='$(SIGN_KEY)' SIGN_PKCS12='$(SIGN_PKCS12)' \
	    SIGN_PKCS11_MODULE='$(SIGN_PKCS11_MODULE)' SIGN_PKCS11_KEY='$(SIGN_PKCS11_KEY)' \
	    SIGN_PASSWORD_FILE='$(SIGN_PASSWORD_FILE)' SIGN_TIMESTAMP_URL='$(SIGN_TIMESTAMP_URL)' \
	    scripts/dist $(BUILD) $(X64) dist

clean:
	rm -rf $(BUILD) dist
