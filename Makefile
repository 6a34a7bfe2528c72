# Thin wrapper around CMake: `make run` renders the demo song, `make test`
# runs the whole suite (a Release build, a sanitizer build, and the
# library's threads under ThreadSanitizer).
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
TSAN_BUILD ?= build-tsan
PKG_BUILD  ?= build-package
WEB_BUILD  ?= build-web
WIN_BUILD  ?= build-windows
ARM_BUILD  ?= build-aarch64
JOBS       ?= 2
PREFIX     ?= /usr/local
# The project's version, as CMakeLists.txt gives it (the npm package's too).
VERSION    := $(shell grep -m1 -o 'sqn2wav VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)

.PHONY: deps test-deps build build-sanitize build-thread-sanitize run test install package windows aarch64 web npm web-serve test-web fuzz fuzz-smoke bench bank demo clean

# What building the programs needs; the tests' own packages (GoogleTest, a
# sound server, a load generator, the package checkers) come with test-deps.
deps:
	@bash scripts/install-deps build

test-deps:
	@bash scripts/install-deps test

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

build-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSQN2WAV_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)

# Only the tests of the library's threads, under ThreadSanitizer.
build-thread-sanitize: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSQN2WAV_THREAD_SANITIZE=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target thread_tests

# Only what it runs: the programs and the example songs, no test, fuzzer
# or benchmark.
run: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target sqn2wav sqnasm sqndis sqnplay mml2sqn mid2sqn examples
	$(BUILD)/app/sqn2wav $(BUILD)/examples/demo.sqn demo.wav
	@echo "rendered examples/demo.txt to $(CURDIR)/demo.wav"

test: test-deps build build-sanitize build-thread-sanitize package windows aarch64
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)
	# (without address randomisation, whose wider ranges this ThreadSanitizer
	# cannot map on some kernels)
	TSAN_OPTIONS=halt_on_error=1 setarch -R $(TSAN_BUILD)/tests/thread_tests
	bash tests/package_test.sh $(PKG_BUILD)/sqn2wav_*.deb $(CURDIR) $(BUILD)/app/sqn2wav
	bash tests/windows_test.sh $(WIN_BUILD)/sqn-*-windows-x86_64.zip $(BUILD)/app/sqn2wav \
	    $(BUILD)/examples/demo.sqn $(BUILD)/examples/groove.sqn $(BUILD)/examples/tune.sqn
	bash tests/aarch64_test.sh $(ARM_BUILD)/app/sqn2wav $(BUILD)

# The programs, the library, its header, pkg-config and CMake files, the
# manual pages and the examples, under PREFIX.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package (sqn2wav_VERSION_ARCH.deb in $(PKG_BUILD)/), built for
# /usr with Debian's hardening flags.
package:
	bash scripts/install-deps build dpkg-dev file
	CFLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
	cmake --build $(PKG_BUILD) -j $(JOBS)
	rm -f $(PKG_BUILD)/sqn2wav_*.deb
	cd $(PKG_BUILD) && cpack -G DEB

# libsqn for 64-bit Windows, cross-built by Debian's mingw-w64 into a zip:
# sqn.dll and its import library, libsqn.a, the header and the example.
# Wine, for the test that runs the example, comes with it.
windows:
	bash scripts/install-deps g++-mingw-w64-x86-64-posix wine64 zip unzip
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
	    -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(WIN_BUILD) -j $(JOBS)
	rm -rf $(WIN_BUILD)/stage $(WIN_BUILD)/sqn-*-windows-x86_64.zip
	version=$$(sed -n 's/^project(sqn2wav VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt); \
	cmake --install $(WIN_BUILD) --prefix $(WIN_BUILD)/stage/sqn-$$version-windows-x86_64 >/dev/null && \
	cd $(WIN_BUILD)/stage && zip -qr ../sqn-$$version-windows-x86_64.zip sqn-$$version-windows-x86_64
	@ls $(WIN_BUILD)/sqn-*-windows-x86_64.zip

# sqn2wav for 64-bit ARM Linux (its vector mixer in NEON), cross-compiled
# and linked statically, for running under qemu-user. The headers it needs
# beyond the C++ library (miniaudio's and Highway's, the same for every
# architecture) are linked into a folder of their own, so that the cross
# compiler sees no other header of this machine.
aarch64:
	bash scripts/install-deps g++-aarch64-linux-gnu qemu-user
	mkdir -p $(ARM_BUILD)/include
	ln -sfn /usr/include/miniaudio.h $(ARM_BUILD)/include/miniaudio.h
	ln -sfn /usr/include/hwy $(ARM_BUILD)/include/hwy
	cmake -S . -B $(ARM_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
	    -DBUILD_TESTING=OFF -DMINIAUDIO_INCLUDE_DIR=$(CURDIR)/$(ARM_BUILD)/include \
	    -DHWY_INCLUDE_DIR=$(CURDIR)/$(ARM_BUILD)/include >/dev/null
	cmake --build $(ARM_BUILD) -j $(JOBS) --target sqn2wav

# The page in the browser: WebAssembly by Debian's emscripten, into
# $(WEB_BUILD)/site/. Debian's emscripten finds its acorn (node-acorn) only
# on this NODE_PATH.
EMSCRIPTEN_ENV = NODE_PATH=/usr/share/nodejs
web:
	bash scripts/install-deps emscripten node-acorn
	command -v npm >/dev/null || bash scripts/install-deps nodejs npm
	cd web/editor && npm ci --no-audit --no-fund --loglevel=error
	$(EMSCRIPTEN_ENV) emcmake cmake -S . -B $(WEB_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(EMSCRIPTEN_ENV) cmake --build $(WEB_BUILD) -j $(JOBS)
	@echo "the page is in $(WEB_BUILD)/site/: make web-serve, then open http://localhost:8000/"

# The npm package sqn-player, of the page's own player files:
# $(WEB_BUILD)/npm/sqn-player-VERSION.tgz.
npm: web
	$(EMSCRIPTEN_ENV) cmake --build $(WEB_BUILD) --target npm-package
	@ls $(WEB_BUILD)/npm/sqn-player-$(VERSION).tgz

web-serve: web
	cd $(WEB_BUILD)/site && python3 -m http.server 8000

# The page, and a scratch game made of the npm package, in headless
# Chromium (Debian's), driven by puppeteer-core; their files and samples
# are compared with the native programs'. Writes web/screenshot.png.
test-web: test-deps npm build
	bash scripts/install-deps chromium unzip
	cd web/test && npm ci --no-audit --no-fund --loglevel=error
	node web/test/edit.test.mjs
	node web/test/page.test.mjs $(WEB_BUILD)/site $(BUILD)
	node web/test/package.test.mjs $(WEB_BUILD)/npm/sqn-player-$(VERSION).tgz $(BUILD)

# libFuzzer targets (clang): `make fuzz` runs each for 60 s, CI's short pass
# for 15 s. FUZZ_SECONDS sets another time per target.
FUZZ_SECONDS ?= 60
fuzz:
	bash scripts/fuzz $(FUZZ_SECONDS)

fuzz-smoke:
	bash scripts/fuzz 15

# Render speed against a plain writer of the same bytes, and render alone.
bench:
	bash bench/run

# Regenerate the committed sample bank or demo song from their sources.
bank: build
	$(BUILD)/tools/make-bank samples/bank

demo: build
	$(BUILD)/tools/make-demo examples/demo.txt

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(PKG_BUILD) $(WEB_BUILD) $(WIN_BUILD) build-fuzz demo.wav
