# Build and test the sensor modules.
#
#   make                  nginx and both modules into build/
#   make test             install what is missing, build, unit and integration tests
#   make modules NGINX_SRC=/path/to/nginx   modules only, into build/ext/ (or OUT=)
#   make bench            what the sensor costs nginx and delivers (QUICK=1: one round)
#   make bench-profile    perf profile of the sensor's costs
#   make deb              Debian package of both modules for Debian's nginx,
#                         into build/deb/
#   make matrix           modules against every release tarball in
#                         NGINX_TARBALLS (default ../shared/nginx), the
#                         integration suite on 1.20.1 and on the newest

BUILD      := $(CURDIR)/build
PYTHON     := /usr/bin/python3
JOBS       := $(shell nproc 2>/dev/null || echo 2)

# Default tree: the nginx release Debian ships, fetched and cached under build/.
NGINX_SRC  ?=
OUT        ?= $(BUILD)/ext
# nginx-X.Y.Z.tar.gz release tarballs for make matrix
NGINX_TARBALLS ?=

.PHONY: all deps modules unit integration distro deb test matrix bench bench-deps bench-profile clean

all: deps
	@src="$(NGINX_SRC)"; \
	[ -n "$$src" ] || src=$$(tools/fetch_nginx.sh $(BUILD)/src); \
	tools/build.sh full $(BUILD) "$$src"

deps:
	@tools/deps.sh

modules: deps
	@src="$(NGINX_SRC)"; \
	[ -n "$$src" ] || src=$$(tools/fetch_nginx.sh $(BUILD)/src); \
	tools/build.sh modules $(OUT) "$$src"

unit: all
	@cmake -S tests/unit -B $(BUILD)/unit -DNGINX_BUILD=$(BUILD) >/dev/null
	@cmake --build $(BUILD)/unit -j $(JOBS)
	@cd $(BUILD)/unit && ctest --output-on-failure -j $(JOBS)

integration: all
	@NGINX_BIN=$(BUILD)/sbin/nginx KV_MODULES=$(BUILD)/modules \
	    $(PYTHON) -m pytest -q -p no:cacheprovider tests/integration

# Debian's nginx-dev tree and packaged nginx accept the modules, and the
# Debian package installs into that nginx and leaves it cleanly
distro: deps
	@tools/distro_check.sh

deb: deps
	@tools/deb.sh

test: unit integration distro

matrix: deps
	@tools/matrix.sh $(NGINX_TARBALLS)

bench-deps:
	@WITH_BENCH=1 tools/deps.sh

bench: all bench-deps
	@bench/run.sh $(BUILD)

bench-profile: all bench-deps
	@PROFILE=1 bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)/obj $(BUILD)/sbin $(BUILD)/modules $(BUILD)/unit $(BUILD)/ext \
	    $(BUILD)/matrix $(BUILD)/distro $(BUILD)/deb
