# cdwriter: the two commands of the README are `make demo` and `make test`.
# Both install what they need first (Debian, as root), then build in build/ (host) and
# build-win/ (Windows target).

BUILD      ?= build
WINBUILD   ?= build-win
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)

DEB_PACKAGES = cmake make g++ libgtest-dev libgmock-dev g++-mingw-w64-i686 \
               mingw-w64-i686-dev binutils-mingw-w64-i686 xorriso clang libclang-rt-14-dev

PREFIX     ?= /usr/local

# Wine (32-bit), for the guard's contract test of the Windows build. A machine whose kernel
# cannot run 32-bit programs skips that test (Wine under a CPU emulator does not start).
WINE_PACKAGES = wine wine32:i386

ASANBUILD  ?= build-asan
TSANBUILD  ?= build-tsan

.PHONY: all deps deps-tool deps-wine deps-vm host tool install win test test-fast sanitizers fuzz-short bench fuzz-long soak-long demo clean

all: host win

# What the recording tool alone needs (make tool, make demo, make install): the host compiler,
# windmc for the message table, GoogleTest (the configure step looks for it) and xorriso.
TOOL_PACKAGES = cmake make g++ libgtest-dev libgmock-dev binutils-mingw-w64-i686 xorriso

# Install the packages that are missing (apt-get update only when needed).
define install_missing
	@missing=""; for p in $(1); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi
endef

deps:
	$(call install_missing,$(DEB_PACKAGES))

deps-tool:
	$(call install_missing,$(TOOL_PACKAGES))

# What the real-stack test needs (tests/vm): QEMU, tgt, a static busybox, the iSCSI initiator
# and Debian's kernel package (downloaded, not installed, into $(BUILD)/vm/cache). A failed or
# slow step only warns: the test then skips and says what is missing.
VM_PACKAGES = qemu-system-x86 tgt busybox-static open-iscsi cpio python3 xorriso
VM_CACHE    = $(BUILD)/vm/cache

deps-vm:
	-@missing=""; for p in $(VM_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing for the real-stack test:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    timeout 900 apt-get update -qq && \
	    timeout 900 apt-get install -y -qq --no-install-recommends $$missing >/dev/null || \
	    echo "warning: could not install$$missing; the real-stack test will be skipped"; \
	fi
	-@mkdir -p $(VM_CACHE); \
	if ! ls $(VM_CACHE)/linux-image-6.1.0-*-amd64_*.deb >/dev/null 2>&1; then \
	    name=$$(apt-cache depends linux-image-amd64 2>/dev/null | grep -o 'linux-image-6\.1\.0-[0-9]*-amd64' | head -1); \
	    if [ -n "$$name" ]; then \
	        (cd $(VM_CACHE) && timeout 600 apt-get download -q "$$name" >/dev/null 2>&1) || \
	        echo "warning: could not download $$name; the real-stack test will be skipped"; \
	    else \
	        echo "warning: no Debian 6.1 kernel package known to apt; the real-stack test will be skipped"; \
	    fi; \
	fi

HOST_CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
                 -DCDW_WINDOWS_SYS=$(abspath $(WINBUILD))/cdwriter.sys

# The same for Wine: its 32-bit packages need the i386 architecture enabled first. A machine
# that cannot install them still runs every other test; the Wine test then says why it skips.
deps-wine:
	@missing=""; for p in $(WINE_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386; \
	    { apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; } || \
	        echo "Wine could not be installed: the guard's Wine test will be skipped"; \
	fi

host: deps
	$(HOST_CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

# Only the recording tool (the driver, the host stand-in, the client library and cdwriter):
# no tests, no benchmark.
tool: deps-tool
	$(HOST_CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target cdwriter

# The tool, its manual page and its bash completion under $(PREFIX) (DESTDIR is honoured).
install: tool
	cmake --install $(BUILD) --prefix $(PREFIX)

win: deps
	cmake -S . -B $(WINBUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake \
	      -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WINBUILD) -j $(JOBS)

# Every test: the host build, the Windows target checks, the host tests again under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer, and a short
# seeded run of the control-interface fuzzer.
test: test-fast sanitizers fuzz-short

test-fast: host win deps-wine deps-vm
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

sanitizers: deps
	cmake -S . -B $(ASANBUILD) -DCMAKE_BUILD_TYPE=Debug -DCDW_SANITIZE=address
	cmake --build $(ASANBUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --test-dir $(ASANBUILD) -j $(JOBS) --output-on-failure
	cmake -S . -B $(TSANBUILD) -DCMAKE_BUILD_TYPE=Debug -DCDW_SANITIZE=thread
	cmake --build $(TSANBUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    ctest --test-dir $(TSANBUILD) -j $(JOBS) --output-on-failure

fuzz-short: deps
	sh fuzz/run.sh short

# Longer runs, documented in the README; not part of `make test`.
bench: deps
	sh bench/run.sh

fuzz-long: deps
	sh fuzz/run.sh long

soak-long: host
	sh tests/soak/run.sh long

demo: tool
	sh tools/cdwriter/demo.sh $(abspath $(BUILD))/cdwriter

clean:
	rm -rf $(BUILD) $(WINBUILD) $(ASANBUILD) $(TSANBUILD) build-fuzz build-bench
