# Thin wrapper around CMake: `make run` renders the demo song, `make test`
# runs the whole suite (a Release build and a sanitizer build).
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
PKG_BUILD  ?= build-package
JOBS       ?= 2
PREFIX     ?= /usr/local

.PHONY: deps build build-sanitize run test install package fuzz fuzz-smoke bench bank demo clean

deps:
	@bash scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

build-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSQN2WAV_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)

run: build
	$(BUILD)/app/sqn2wav $(BUILD)/examples/demo.sqn demo.wav
	@echo "rendered examples/demo.txt to $(CURDIR)/demo.wav"

test: build build-sanitize package
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)
	bash tests/package_test.sh $(PKG_BUILD)/sqn2wav_*.deb $(CURDIR) $(BUILD)/app/sqn2wav

# The programs, the library, its header, pkg-config and CMake files, the
# manual pages and the examples, under PREFIX.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package (sqn2wav_VERSION_ARCH.deb in $(PKG_BUILD)/), built for
# /usr with Debian's hardening flags.
package: deps
	CFLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB

# libFuzzer targets (clang): `make fuzz` runs each for 60 s, CI's short pass
# for 30 s. FUZZ_SECONDS sets another time per target.
FUZZ_SECONDS ?= 60
fuzz:
	bash scripts/fuzz $(FUZZ_SECONDS)

fuzz-smoke:
	bash scripts/fuzz 30

# Render speed against a plain writer of the same bytes, and render alone.
bench:
	bash bench/run

# Regenerate the committed sample bank or demo song from their sources.
bank: build
	$(BUILD)/tools/make-bank samples/bank

demo: build
	$(BUILD)/tools/make-demo examples/demo.txt

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(PKG_BUILD) build-fuzz demo.wav
