# Thin wrapper around CMake: `make run` renders the demo song, `make test`
# runs the whole suite (a Release build and a sanitizer build).
BUILD      ?= build
SAN_BUILD  ?= build-sanitize
JOBS       ?= 2

.PHONY: deps build build-sanitize run test fuzz fuzz-smoke bench bank demo clean

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

test: build build-sanitize
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

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
	rm -rf $(BUILD) $(SAN_BUILD) build-fuzz demo.wav
