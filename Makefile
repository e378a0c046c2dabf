# make demo   build (Release) and run the main job on examples/data
# make test   build with sanitizers and run every test
# make bench  build (Release) and run the benchmarks
# make tsan   build the threads test with ThreadSanitizer and run it
# make windows  cross-build qxdb.dll, qxdb.exe and qxdbhost.dll (32- and 64-bit) with mingw-w64
# make test-windows  the Win32 seam end to end under Wine, 32-bit build first, then
#                    64-bit: smoke test, the test suite as a Windows program (its
#                    other processes Windows programs too), qxdb.exe loading qxdb.dll,
#                    locks between a 32-bit and a 64-bit program, and the files of
#                    Linux and Windows compared byte for byte
# make fuzz   build the fuzz targets with clang and run each for FUZZ_SECONDS

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: demo test test-build tsan windows test-windows test-windows-arch bench fuzz release clean

release:
	@tools/ensure-deps.sh
	cmake -S . -B build/release $(GEN) -DCMAKE_BUILD_TYPE=Release -DQXDB_TESTS=OFF >/dev/null
	cmake --build build/release -j $(JOBS)

demo: release
	@echo "== qxdb tables examples/data --details   (through the library, as a host loads it)"
	@build/release/qxdb tables examples/data --details
	@for f in examples/data/*.dbf; do \
	    echo "== qxdb info $$f"; build/release/qxdb info "$$f" || exit 1; \
	    echo "== qxdb dump --format table $$f"; build/release/qxdb dump --format table "$$f" || exit 1; \
	done

# The tests run as two shards at once (one a core); each shard's output follows.
test: test-build
	cd build/test && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ../../tools/run-shards.sh $(JOBS) shard ./qxdb_tests

test-build:
	@tools/ensure-deps.sh test
	cmake -S . -B build/test $(GEN) -DCMAKE_BUILD_TYPE=Debug -DQXDB_SANITIZE=ON -DQXDB_BENCH=OFF >/dev/null
	cmake --build build/test -j $(JOBS)

# The driver frame from several threads, under ThreadSanitizer (its own build).
tsan:
	@tools/ensure-deps.sh test
	cmake -S . -B build/tsan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DQXDB_TSAN=ON -DQXDB_TESTS=OFF -DQXDB_BENCH=OFF >/dev/null
	cmake --build build/tsan -j $(JOBS) --target qxdb_thread_tests
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ./qxdb_thread_tests

# The library as the host loads it: a 32-bit Windows DLL (and a 64-bit one),
# cross-built with mingw-w64; the export table is listed.
windows:
	@tools/ensure-deps.sh windows
	@for arch in i686 x86_64; do \
	    cmake -S . -B build/windows-$$arch $(GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw.cmake -DQXDB_MINGW_ARCH=$$arch \
	        -DCMAKE_BUILD_TYPE=Release -DQXDB_TESTS=OFF -DQXDB_BENCH=OFF >/dev/null || exit 1; \
	    cmake --build build/windows-$$arch -j $(JOBS) --target qxdb qxdb_static qxdb_cli qxdbhost || exit 1; \
	    echo "== build/windows-$$arch/qxdb.dll exports:"; \
	    $$arch-w64-mingw32-objdump -p build/windows-$$arch/qxdb.dll | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$$/p'; \
	done

# The Win32 seam end to end under Wine, at both widths: the i686 build first (the
# one the 32-bit host loads), then x86_64. Debian's wine64 runs 32-bit programs
# too once wine32:i386 is installed.
WINE ?= $(shell command -v wine64 2>/dev/null || echo /usr/lib/wine/wine64)
WINDOWS_ARCHS := i686 x86_64
# The 64-bit width runs what meets the platform; the index formats' long model,
# fixture and stop-point runs (the same code at both widths) run at the host's own
# width, i686.
SUITE_FILTER_x86_64 := -*IndexModel*:*StopPoints*:*Fixtures*:*TagsModel*
test-windows: windows test-build
	@tools/ensure-deps.sh wine
	@for arch in $(WINDOWS_ARCHS); do $(MAKE) --no-print-directory test-windows-arch ARCH=$$arch || exit 1; done
	@echo "== two Windows programs of two widths contending for a record, under Wine"
	tools/windows-lock-check.sh $(WINE) build/windows-i686 build/windows-x86_64
	tools/windows-lock-check.sh $(WINE) build/windows-x86_64 build/windows-i686

# One width of test-windows (ARCH=i686 or x86_64), its build made by make windows.
B = build/windows-$(ARCH)
test-windows-arch:
	@echo "==== $(ARCH) under Wine"
	cmake --build $(B) -j $(JOBS) --target qxdb_windows_smoke qxdb_tests
	@rm -rf $(B)/smoke && mkdir -p $(B)/smoke
	cd $(B)/smoke && WINEDEBUG=-all $(WINE) ../qxdb_windows_smoke.exe
	@echo "== the test suite as a $(ARCH) Windows program, under Wine"
	cd $(B) && WINEDEBUG=-all ../../tools/run-shards.sh $(JOBS) shard $(WINE) ./qxdb_tests.exe --gtest_brief=1 \
	    $(if $(SUITE_FILTER_$(ARCH)),--gtest_filter='$(SUITE_FILTER_$(ARCH))')
	@echo "== the OEM conversion against the system's own, with the French host's code pages (ANSI 1252, OEM 850)"
	cd $(B) && LC_ALL=fr_FR.UTF-8 QXDB_FRENCH_PAGES=1 WINEDEBUG=-all $(WINE) ./qxdb_tests.exe \
	    --gtest_filter='CodePagePlatform*' --gtest_brief=1
	@echo "== qxdb.exe loads qxdb.dll as the host does (LoadLibraryA), under Wine"
	WINEDEBUG=-all $(WINE) $(B)/qxdb.exe version
	WINEDEBUG=-all $(WINE) $(B)/qxdb.exe tables examples/data --details
	WINEDEBUG=-all $(WINE) $(B)/qxdb.exe browse examples/data customers --format csv --limit 3
	@echo "== the same writes on Linux and on Windows ($(ARCH)) give the same bytes, each compared with the other"
	@rm -rf build/cross-$(ARCH)
	QXDB_CROSS_DIR=$(CURDIR)/build/cross-$(ARCH) build/test/qxdb_tests --gtest_filter='CrossPlatform*' --gtest_brief=1
	cd $(B) && QXDB_CROSS_DIR='Z:$(CURDIR)/build/cross-$(ARCH)' WINEDEBUG=-all $(WINE) ./qxdb_tests.exe \
	    --gtest_filter='CrossPlatform*' --gtest_brief=1
	QXDB_CROSS_DIR=$(CURDIR)/build/cross-$(ARCH) build/test/qxdb_tests --gtest_filter='CrossPlatform*' --gtest_brief=1

bench: release
	cmake -S . -B build/release -DQXDB_BENCH=ON >/dev/null
	cmake --build build/release -j $(JOBS)
	build/release/qxdb_bench $(BENCH_ARGS)

fuzz:
	@tools/ensure-deps.sh fuzz
	CXX=clang++ cmake -S . -B build/fuzz $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQXDB_FUZZ=ON -DQXDB_TESTS=OFF -DQXDB_BENCH=OFF >/dev/null
	cmake --build build/fuzz -j $(JOBS)
	@mkdir -p build/fuzz/corpus
	@for f in build/fuzz/fuzz_*; do \
	    name=$$(basename $$f); mkdir -p build/fuzz/corpus/$$name; \
	    echo "== $$name for $(FUZZ_SECONDS) s"; \
	    $$f -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
	        build/fuzz/corpus/$$name fuzz/seeds/$$name || exit 1; \
	done

clean:
	rm -rf build
