# make test  - install what is missing, build (plain, ASan+UBSan, TSan, Windows cross build) and run every test
# make demo  - install, build and program the bundled sample stream into the module simulator
# make win32 - cross-build the Windows programs and tests into build-win32/
# make fuzz  - run every libFuzzer target for FUZZ_SECONDS (default 300) in build-fuzz/
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 300

.PHONY: all deps build asan tsan win32 fuzzbuild fuzz test demo clean format

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

# The libFuzzer targets with clang, ASan and UBSan; make test runs each briefly.
fuzzbuild: deps
	cmake -S . -B build-fuzz -DZEM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target fuzzers

fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) scripts/fuzz

test: build asan tsan win32 fuzzbuild
	scripts/run-tests build build-asan build-tsan build-win32 build-fuzz

demo: build
	scripts/demo

format:
	find app cli fpl ipserial lib platform report tests tools bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-win32 build-fuzz
