# make test  - install what is missing, build (plain, ASan+UBSan, TSan, Windows cross build, fuzz targets) and run every test
# make demo  - install, build and program the bundled sample stream into the module simulator
# make win32 - cross-build the 32-bit Windows programs and tests into build-win32/
# make win64 - cross-build the 64-bit Windows programs and tests into build-win64/
# make bench - build zemcli, zem-sim and zem-bench, then measure (BENCH_ARGS: see zem-bench --help;
#              BENCH_ARGS="--record after" appends the table to bench/RESULTS.md)
# make bench-line - the line service under a factory's load: 50 stations posting 1,000 results/s
#              to zem-line on SQLite and on a PostgreSQL it starts (zem-line-bench --help)
# make line-demo - install, build, and run a line service on SQLite with three stations programming
#              simulated modules; prints the line page's address (scripts/line-demo; Ctrl-C ends it)
# make package - dist/zemcli_VERSION-1_ARCH.deb, dist/zem_VERSION-1_ARCH.deb, and for 64 and 32 bits
#              dist/zem-VERSION-winNN.zip and dist/zem-VERSION-winNN.msi; make package-test tests them
# make fuzz  - run every libFuzzer target for FUZZ_SECONDS (default 300) times its worth in build-fuzz/,
#              merge the grown corpora into tests/fuzz/corpus and print line and branch coverage
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
BENCH_ARGS ?=
FUZZ_SECONDS ?= 300

.PHONY: all deps build asan tsan win32 win64 fuzzbuild fuzz test demo line-demo bench bench-line clean format package package-test

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS)

asan: deps
	cmake -S . -B build-asan -DZEM_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS) >/dev/null
	cmake --build build-asan -j$(JOBS)

tsan: deps
	cmake -S . -B build-tsan -DZEM_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build build-tsan -j$(JOBS)

win32: deps
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw32.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build-win32 -j$(JOBS)

win64: deps
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build build-win64 -j$(JOBS)

# The libFuzzer targets with clang, ASan and UBSan; make test runs each briefly.
fuzzbuild: deps
	cmake -S . -B build-fuzz -DZEM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzzers

fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) scripts/fuzz

test: build asan tsan win32 win64 fuzzbuild
	scripts/run-tests build build-asan build-tsan build-win64 build-win32 build-fuzz

# The package test also runs in `make test`, from build/ (ctest -L package).
VERSION = $(shell sed -n 's/^project.zem VERSION //p' CMakeLists.txt | cut -d' ' -f1)
package: build win32 win64
	rm -rf dist build/package build-win32/package build-win64/package
	cd build && cpack >/dev/null
	cd build-win32 && cpack >/dev/null
	cd build-win64 && cpack >/dev/null
	mkdir -p dist
	cp build/package/zem*_*.deb build-win32/package/zem-*-win32.zip build-win64/package/zem-*-win64.zip dist/
	packaging/windows/make-msi build-win64 dist/zem-$(VERSION)-win64.msi
	packaging/windows/make-msi build-win32 dist/zem-$(VERSION)-win32.msi
	@ls -1 dist/*

package-test: package
	tests/package/package_test.sh $(VERSION) dist/zemcli_*.deb dist/zem_*.deb \
	  "$$(ls dist/zem-*-win*.zip | paste -sd,)" "$$(ls dist/zem-*-win*.msi | paste -sd,)" \
	  build/tests/package/work-dist build/tests/package/libzem_planted_library.so scripts/wine-run

demo: build
	scripts/demo

line-demo: deps
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS) --target zem-line zemcli zem-sim zem-mkstream
	scripts/line-demo

bench: deps
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS) --target zemcli zem-sim zem-mkstream zem-bench zem_coarse_timer zem-refhost
	build/bench/zem-bench $(BENCH_ARGS)

bench-line: deps
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS) --target zem-line zem-line-bench
	build/bench/zem-line-bench

format:
	find app cli fpl ipserial lib platform report tests tools bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-win32 build-win64 build-fuzz build-fuzz-cov dist
