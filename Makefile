# Build and test the sensor modules and the reference collector.
#
#   make                  nginx, both modules and the collector into build/
#   make run              the whole stack on loopback until Ctrl-C (examples/nginx.conf)
#   make demo             the same stack once, with sample traffic and what it captured
#   make demo-fleet       PostgreSQL, two collectors behind nginx's stream
#                         module, two nginx with the sensor; one collector
#                         killed under traffic; what was stored and lost
#   make test             install what is missing, build, unit and integration tests
#   make test SANITIZE=address   the integration suite against nginx and the
#                         modules built with ASan+UBSan, into build/asan
#   make test SANITIZE=thread    the threaded paths under TSan, build/tsan
#   make modules NGINX_SRC=/path/to/nginx   modules only, into build/ext/ (or OUT=)
#   make bench            what the sensor costs nginx and delivers (QUICK=1: one round)
#   make bench-profile    perf profile of the sensor's costs
#   make deb              Debian packages of both modules for Debian's nginx
#                         and of the collector, into build/deb/
#   make matrix           modules against every release tarball in
#                         NGINX_TARBALLS (default ../shared/nginx), the
#                         integration suite on 1.20.1 and on the newest
#   make bench-collector  the collector's ingest rate on SQLite, on PostgreSQL
#                         with one collector and with two
#   make soak             a million requests with faults; SOAK_REQUESTS=N
#   make fuzz             each libFuzzer target FUZZ_SECONDS (60) seconds

BUILD      := $(CURDIR)/build
PYTHON     := /usr/bin/python3
JOBS       := $(shell nproc 2>/dev/null || echo 2)

# Default tree: the nginx release Debian ships, fetched and cached under build/.
NGINX_SRC  ?=
OUT        ?= $(BUILD)/ext
# nginx-X.Y.Z.tar.gz release tarballs for make matrix
NGINX_TARBALLS ?=

.PHONY: all deps sensor collector modules unit collector-unit integration \
        distro deb test matrix bench bench-deps bench-profile bench-collector \
        run demo demo-fleet soak fuzz clean

all: sensor collector

sensor: deps
	@src="$(NGINX_SRC)"; \
	[ -n "$$src" ] || src=$$(tools/fetch_nginx.sh $(BUILD)/src); \
	tools/build.sh full $(BUILD) "$$src"

deps:
	@tools/deps.sh

modules: deps
	@src="$(NGINX_SRC)"; \
	[ -n "$$src" ] || src=$$(tools/fetch_nginx.sh $(BUILD)/src); \
	tools/build.sh modules $(OUT) "$$src"

# The collector, its sample API and load tool into build/bin; the console's
# chart library comes from npm, pinned by collector/web/package-lock.json.
COLLECTOR_BUILD := $(BUILD)/collector
WEB_DEPS   := $(BUILD)/collector-web
UPLOT      := $(WEB_DEPS)/node_modules/uplot

collector: deps $(UPLOT)/package.json
	@cmake -S collector -B $(COLLECTOR_BUILD) -DKV_BIN_DIR=$(BUILD)/bin \
	    -DUPLOT_DIR=$(UPLOT) >/dev/null
	@cmake --build $(COLLECTOR_BUILD) -j $(JOBS) --target \
	    kestrelvanes-collector kestrelvanes-sample-api kestrelvanes-loadgen \
	    -- --no-print-directory

$(UPLOT)/package.json: collector/web/package.json collector/web/package-lock.json
	@mkdir -p $(WEB_DEPS)
	@cp collector/web/package.json collector/web/package-lock.json $(WEB_DEPS)/
	@cd $(WEB_DEPS) && npm ci --no-audit --no-fund --loglevel=error
	@touch $@

# The store's cases run on SQLite and on a PostgreSQL server of their own
# (tools/pg_cluster.py, under build/pg/unit), stopped after.
PG_UNIT    := $(BUILD)/pg/unit

collector-unit: collector
	@cmake --build $(COLLECTOR_BUILD) -j $(JOBS) --target collector_tests \
	    -- --no-print-directory
	@uri=$$($(PYTHON) tools/pg_cluster.py start $(PG_UNIT) --fast) || exit 1; \
	cd $(COLLECTOR_BUILD) && KV_TEST_PG=$$uri ctest --output-on-failure \
	    -j $(JOBS); rc=$$?; \
	$(PYTHON) $(CURDIR)/tools/pg_cluster.py stop $(PG_UNIT); exit $$rc

run: all
	@$(PYTHON) collector/stack.py run --build $(BUILD) $(RUN_FLAGS)

demo: all
	@$(PYTHON) collector/stack.py demo --build $(BUILD) $(RUN_FLAGS)

demo-fleet: all
	@$(PYTHON) collector/fleet.py --build $(BUILD) $(FLEET_FLAGS)

unit: all
	@cmake -S tests/unit -B $(BUILD)/unit -DNGINX_BUILD=$(BUILD) >/dev/null
	@cmake --build $(BUILD)/unit -j $(JOBS)
	@cd $(BUILD)/unit && ctest --output-on-failure -j $(JOBS)

integration: all
	@NGINX_BIN=$(BUILD)/sbin/nginx KV_MODULES=$(BUILD)/modules \
	    KV_BIN=$(BUILD)/bin KV_ARTIFACTS=$(BUILD)/artifacts \
	    $(PYTHON) -m pytest -q -p no:cacheprovider tests/integration

# Debian's nginx-dev tree and packaged nginx accept the modules, and the
# Debian package installs into that nginx and leaves it cleanly
distro: deps
	@tools/distro_check.sh

deb: deps
	@tools/deb.sh
	@tools/deb_collector.sh

# SANITIZE=address|thread: the sanitized build's integration tests instead
# (tools/sanitize.sh; SANITIZE_ARGS go to pytest)
SANITIZE ?=
ifeq ($(SANITIZE),)
test: unit collector-unit integration distro
else
test: collector
	@PYTHON=$(PYTHON) BUILD=$(BUILD) NGINX_SRC="$(NGINX_SRC)" \
	    tools/sanitize.sh $(SANITIZE) $(SANITIZE_ARGS)
endif

matrix: deps
	@tools/matrix.sh $(NGINX_TARBALLS)

bench-deps:
	@WITH_BENCH=1 tools/deps.sh

bench: all bench-deps
	@bench/run.sh $(BUILD)

bench-profile: all bench-deps
	@PROFILE=1 bench/run.sh $(BUILD)

# how many sensor messages a second the collector takes (a few seconds)
bench-collector: collector
	@collector/bench_ingest.sh $(BUILD)

# Policy changes, a collector restart and a reload under load; worker
# memory, descriptors and the accounting of every exchange checked.
SOAK_REQUESTS ?= 1000000
soak: sensor
	@WITH_SOAK=1 tools/deps.sh
	@$(PYTHON) tools/soak.py --requests $(SOAK_REQUESTS)

# libFuzzer targets (tests/fuzz) with Debian's clang; findings are kept in
# build/fuzz/crashes and fail the run.  FUZZ_TARGETS picks some of them.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: sensor
	@WITH_FUZZ=1 tools/deps.sh
	@tools/fuzz.sh $(BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD)/obj $(BUILD)/sbin $(BUILD)/modules $(BUILD)/unit $(BUILD)/ext \
	    $(BUILD)/matrix $(BUILD)/distro $(BUILD)/deb $(BUILD)/collector $(BUILD)/bin \
	    $(BUILD)/fuzz $(BUILD)/asan $(BUILD)/tsan
