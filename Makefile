# The two commands a newcomer needs:
#   make run    build and serve the demo console (with the log server and the master service)
#   make test   install what is missing, build, and run every test: the normal build, the
#               AddressSanitizer + UndefinedBehaviorSanitizer build, and the fuzz targets
# Further: make build, make bench, make fuzz, make install PREFIX=..., make format, make clean.

JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 10
# make test replays every seed corpus and fuzzes each target briefly; make fuzz goes longer.
TEST_FUZZ_SECONDS ?= 3
CMAKE_GEN := -G Ninja

.PHONY: all deps build build-asan build-fuzz test test-release test-asan test-browser fuzz bench run \
        install consumer-check format format-check clean

all: build

deps:
	@scripts/install-deps.sh build

build: deps
	cmake -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/release -j $(JOBS)

build-asan: deps
	cmake -S . -B build/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCGISHARE_SANITIZE=ON
	cmake --build build/asan -j $(JOBS)

build-fuzz:
	@scripts/install-deps.sh build test
	cmake -S . -B build/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCGISHARE_FUZZ=ON \
	    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build/fuzz -j $(JOBS)

test-release: build
	ctest --test-dir build/release --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir build/asan --output-on-failure -j $(JOBS)

test-browser: build
	scripts/browser-test.sh build/release

fuzz: build-fuzz
	scripts/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS)

consumer-check: build
	scripts/consumer-check.sh build/release

test:
	@scripts/install-deps.sh build test
	scripts/check-format.sh
	$(MAKE) --no-print-directory test-release test-browser test-asan consumer-check
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS)

bench:
	@scripts/install-deps.sh build bench
	$(MAKE) --no-print-directory build
	scripts/run-benchmarks.sh build/release

run: build
	@scripts/install-deps.sh build run
	scripts/run-demo.sh build/release

install: build
	cmake --install build/release --prefix $(PREFIX)

format:
	git ls-files '*.cpp' '*.h' '*.hpp' '*.c' | xargs -r clang-format -i

format-check:
	scripts/check-format.sh

clean:
	rm -rf build
