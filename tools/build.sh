#!/usr/bin/env bash
# Builds nginx and both sensor modules.
#
#   build.sh full    OUT SRC [SANITIZER]   nginx binary and modules, our
#                              configure flags
#   build.sh modules OUT SRC   modules only, against SRC's own flags when the
#                              tree records them (a distribution's nginx-dev
#                              tree has conf_flags), else our flags
#
# SANITIZER address builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and pools that hand out every allocation from
# malloc (NGX_DEBUG_PALLOC), so an overflow inside a pool hits a redzone;
# thread with ThreadSanitizer.  Give it its own OUT: the objects differ.
#
# OUT receives sbin/nginx (full only), modules/*.so and obj/ (nginx's
# objects, which the unit tests link against).  SRC is never written to:
# it is copied into OUT first when it is not our own unpacked tarball.
set -euo pipefail

mode=$1
out=$(realpath -m "$2")
src=$(realpath "$3")
sanitizer=${4:-}
top=$(cd "$(dirname "$0")/.." && pwd)

flags=(
    --with-compat --with-threads --with-debug
    --with-http_ssl_module --with-http_v2_module
    --with-http_auth_request_module --with-http_stub_status_module
    --without-pcre2 --with-pcre-jit
)

mkdir -p "$out"

# Releases before 1.21.5 know only PCRE1 and reject the option.
if ! grep -q -- '--without-pcre2' "$src/auto/options" 2>/dev/null; then
    kept=()
    for f in "${flags[@]}"; do
        [ "$f" = --without-pcre2 ] || kept+=("$f")
    done
    flags=("${kept[@]}")
fi

# The full build carries nginx's stream module too: it is the balancer in
# front of several collectors (make demo-fleet, the fleet's tests).
if [ "$mode" = full ]; then
    flags+=(--with-stream)
fi

# Releases that have HTTP/3 (1.25 on) build it in, so that the suite can
# reach them over QUIC too; it costs a server nothing until a listen asks
# for it.
if grep -q -- '--with-http_v3_module' "$src/auto/options" 2>/dev/null; then
    flags+=(--with-http_v3_module)
fi

# Warnings a release's own code raises with this machine's libraries.
# Older releases (1.20.1 among them) do not hide OpenSSL 3's deprecations
# from their own OpenSSL code, which then fails under -Werror.  Newer ones
# hide them for every source that includes nginx's headers, ours too, so
# the flag changes nothing for our sources.
cc_extra=""
if [ -f "$src/src/event/ngx_event_openssl.h" ] &&
    ! grep -q OPENSSL_SUPPRESS_DEPRECATED "$src/src/event/ngx_event_openssl.h"; then
    cc_extra="-Wno-error=deprecated-declarations"
fi

# nginx's configure writes its top Makefile into the tree: work on a copy
# unless the tree is our own unpacked tarball under build/.
case "$src" in
    "$top"/build/*) tree=$src ;;
    *)
        tree=$out/nginx-src
        if [ ! -f "$tree/.copied-from" ] || [ "$(cat "$tree/.copied-from")" != "$src" ]; then
            rm -rf "$tree"
            cp -a "$src" "$tree"
            chmod -R u+w "$tree"
            echo "$src" >"$tree/.copied-from"
        fi
        ;;
esac

if [ "$mode" = modules ] && [ -f "$tree/conf_flags" ]; then
    # A distribution's nginx-dev tree: build the way its own module
    # packages are built (Debian's dh_nginx), so the objects carry the
    # distribution's hardening and the binary's module signature.
    # shellcheck disable=SC1091
    source "$tree/conf_flags"
    flags=()
    if command -v dpkg-buildflags >/dev/null; then
        # Run in the tree so -ffile-prefix-map, and thus the configure
        # stamp below, does not depend on the caller's directory.
        cflags=$(cd "$tree" && dpkg-buildflags --get CFLAGS)
        cppflags=$(cd "$tree" && dpkg-buildflags --get CPPFLAGS)
        ldflags=$(cd "$tree" && dpkg-buildflags --get LDFLAGS)
        flags+=(--with-cc-opt="$cflags -fPIC $cppflags${cc_extra:+ $cc_extra}"
            --with-ld-opt="$ldflags -fPIC")
        cc_extra=""
    fi
    # The tree holds headers only and we build nothing but our two
    # objects: other modules the flags name (third-party paths that do not
    # exist here, built-in modules made dynamic whose libraries configure
    # would insist on) are dropped, and our build directory is kept.
    for f in "${NGX_CONF_FLAGS[@]}"; do
        case "$f" in
            --add-module=* | --add-dynamic-module=* | --with-*=dynamic | --builddir=*) ;;
            *) flags+=("$f") ;;
        esac
    done
fi

# -O1 keeps the reports' stacks close to the source; frame pointers make
# the sanitizers' fast unwinder see every frame.  nodelete keeps a module's
# code mapped after nginx unloads it with an old cycle, so the leak check
# at exit can still name the module's frames.
#
# Two of UBSan's checks are left out, because nginx's own code trips them
# by design and gcc's UBSan runtime cannot apply a suppression in a worker
# (it does not symbolise there): nonnull-attribute, as nginx copies empty
# strings (len 0, data NULL: conf_param unset, a request without
# arguments in the debug log, the proxy module's empty parts) with
# memcpy(dst, NULL, 0) all over, reading nothing (a NULL with a length is
# still caught, by AddressSanitizer); and alignment, as nginx's request
# parser compares methods four bytes at a time through uint32_t loads at
# any offset, and HTTP/2 writes frame fields the same way, which x86 (what
# nginx enables it for: NGX_HAVE_NONALIGNED) does in hardware.
ld_extra=""
case "$sanitizer" in
    "") ;;
    address)
        san="-fsanitize=address,undefined"
        san="$san -fno-sanitize=nonnull-attribute,alignment"
        san="$san -fno-omit-frame-pointer -O1"
        cc_extra="${cc_extra:+$cc_extra }$san -DNGX_DEBUG_PALLOC=1"
        ld_extra="$san -Wl,-z,nodelete"
        ;;
    thread)
        san="-fsanitize=thread -fno-omit-frame-pointer -O1"
        cc_extra="${cc_extra:+$cc_extra }$san"
        ld_extra="$san -Wl,-z,nodelete"
        ;;
    *)
        echo "build: sanitizer $sanitizer: address or thread" >&2
        exit 1
        ;;
esac

[ -z "$cc_extra" ] || flags+=(--with-cc-opt="$cc_extra")
[ -z "$ld_extra" ] || flags+=(--with-ld-opt="$ld_extra")

args=(
    --prefix="$out"
    --builddir="$out/obj"
    "${flags[@]}"
    --add-dynamic-module="$top/modules/nginx_ext_auth_module"
    --add-dynamic-module="$top/modules/nginx_ext_access_log_module"
)

# Reconfigure only when the arguments change; make tracks the sources.
# The modules' config files name their sources and export maps: a change
# there needs configure again too.
stamp="$out/obj/.configure-args"
want="${args[*]} $(cat "$top"/modules/*/config "$top"/modules/*/exports.map | md5sum | cut -d' ' -f1)"
if [ ! -f "$out/obj/Makefile" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    (cd "$tree" && ./configure "${args[@]}" >"$out/configure.log" 2>&1) || {
        tail -n 30 "$out/configure.log" >&2
        echo "build: configure failed, see $out/configure.log" >&2
        exit 1
    }
    echo "$want" >"$stamp"
fi
echo "$tree" >"$out/obj/.nginx-src"

# Puts a built file in place by renaming a fresh copy over the old one:
# copying over a binary or module that a running nginx has mapped fails
# ("Text file busy") or changes the code under the running process.
place() {
    cmp -s "$1" "$2" 2>/dev/null && return 0
    cp "$1" "$2.new.$$"
    mv -f "$2.new.$$" "$2"
}

jobs=$(nproc 2>/dev/null || echo 2)
if [ "$mode" = full ]; then
    (cd "$tree" && make -s -j"$jobs" -f "$out/obj/Makefile")
    mkdir -p "$out/sbin"
    place "$out/obj/nginx" "$out/sbin/nginx"
else
    (cd "$tree" && make -s -j"$jobs" -f "$out/obj/Makefile" \
        "$out/obj/ngx_kestrelvanes_http_auth.so" \
        "$out/obj/ngx_kestrelvanes_http_access.so")
fi

mkdir -p "$out/modules"
for so in ngx_kestrelvanes_http_auth.so ngx_kestrelvanes_http_access.so; do
    place "$out/obj/$so" "$out/modules/$so"
done
echo "build: modules in $out/modules"
