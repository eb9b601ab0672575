# cdwriter: the two commands of the README are `make demo` and `make test`.
# Both install what they need first (Debian, as root), then build in build/ (host) and
# build-win/ (Windows target).

BUILD      ?= build
WINBUILD   ?= build-win
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)

DEB_PACKAGES = cmake make g++ libgtest-dev libgmock-dev g++-mingw-w64-i686 \
               mingw-w64-i686-dev binutils-mingw-w64-i686 xorriso

.PHONY: all deps host win test demo clean

all: host win

# Install the toolchains and libraries that are missing (apt-get update only when needed).
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    export DEBIAN_FRONTEND=noninteractive; \
	    apt-get update -qq && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

host: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	      -DCDW_WINDOWS_SYS=$(abspath $(WINBUILD))/cdwriter.sys
	cmake --build $(BUILD) -j $(JOBS)

win: deps
	cmake -S . -B $(WINBUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake \
	      -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WINBUILD) -j $(JOBS)

test: host win
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

demo: host
	sh tools/cdwriter/demo.sh $(abspath $(BUILD))/cdwriter

clean:
	rm -rf $(BUILD) $(WINBUILD)
