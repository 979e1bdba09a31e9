#!/usr/bin/env bash
# Checks what `cmake --install` and CPack ship, on a build tree that is
# already built:
#   packaging_test.sh BUILD_DIR SOURCE_DIR pkgconfig     C tool built with pkg-config --static
#   packaging_test.sh BUILD_DIR SOURCE_DIR find_package  C tool built with find_package(sitekit)
#   packaging_test.sh BUILD_DIR SOURCE_DIR deb           Debian package made by CPack
# SITEKIT_DEB_STATIC=ON: the programs are static, so the package depends on
# nothing. SITEKIT_DEB_LINTIAN=ON: lintian judges the package; any error fails.
# SITEKIT_TOOL_FLAGS: extra compile and link flags for the tool (the
# sanitizer build needs its runtime).
set -euo pipefail

build=$1
source=$2
mode=$3
flags=${SITEKIT_TOOL_FLAGS:-}
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/sitekit-pkg.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

install_tree() {
    cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" ||
        { cat "$work/install.log" >&2; fail "cmake --install failed"; }
}

# A site root with one file the tool reads back.
make_site() {
    mkdir -p "$work/site/etc"
    printf 'welcome\nto the site\n' >"$work/site/etc/motd"
}

run_tool() {
    local out
    out=$("$1" "$work/site") || fail "the tool failed"
    [ "$out" = $'welcome\nto the site' ] || fail "the tool printed: $out"
}

case $mode in
pkgconfig)
    install_tree
    make_site
    pc=$(find "$work/prefix" -name sitekit.pc)
    [ -n "$pc" ] || fail "no sitekit.pc installed"
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH=$(dirname "$pc")
    pkg-config --exists sitekit || fail "pkg-config does not accept sitekit.pc"
    [ "$(pkg-config --modversion sitekit)" = "$(sed -n 's/^Version: //p' "$pc")" ] || fail "version"
    # shellcheck disable=SC2046,SC2086
    cc -std=c99 -Wall -Wextra -Werror $flags $(pkg-config --cflags sitekit) "$here/tool.c" \
        -o "$work/tool" $(pkg-config --static --libs sitekit) $flags || fail "the tool does not build"
    run_tool "$work/tool"
    # Moved elsewhere, the tree still resolves its own paths.
    mv "$work/prefix" "$work/moved"
    PKG_CONFIG_PATH=${PKG_CONFIG_PATH/prefix/moved}
    pkg-config --variable=libdir sitekit | grep -q "$work/moved" || fail "sitekit.pc is not relocatable"
    ;;
find_package)
    install_tree
    make_site
    mkdir -p "$work/src"
    cp "$here/tool.c" "$work/src/"
    cp "$build/packaging-consumer.cmake" "$work/src/CMakeLists.txt"
    cmake -S "$work/src" -B "$work/bld" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/cfg.log" 2>&1 ||
        { cat "$work/cfg.log" >&2; fail "find_package(sitekit) failed"; }
    cmake --build "$work/bld" >"$work/bld.log" 2>&1 || { cat "$work/bld.log" >&2; fail "the tool does not build"; }
    run_tool "$work/bld/tool"
    ;;
deb)
    (cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
        { cat "$work/cpack.log" >&2; fail "cpack failed"; }
    deb=$(find "$work/out" -maxdepth 1 -name 'sitekit_*.deb')
    [ -n "$deb" ] || fail "no .deb made"
    dpkg-deb -f "$deb" Package | grep -qx sitekit || fail "package name"
    contents=$(dpkg-deb -c "$deb")
    for f in ./usr/bin/sitekit ./usr/include/sitekit/sitekit.h sitekit.pc sitekitConfig.cmake \
             sitekitTargets.cmake libsiteutil.a checks.conf.example \
             ./usr/share/bash-completion/completions/sitekit ./usr/share/doc/sitekit/copyright \
             ./usr/share/doc/sitekit/changelog.gz; do
        grep -q -- "$f" <<<"$contents" || fail "the package lacks $f"
    done
    owners=$(awk '$2 != "root/root"' <<<"$contents")
    [ -z "$owners" ] || fail "entries not owned by root:root: $owners"
    if [ "${SITEKIT_DEB_STATIC:-}" = ON ]; then
        [ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "static programs, yet: $(dpkg-deb -f "$deb" Depends)"
    fi
    # The changelog's newest entry is the package's version.
    top=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/sitekit/changelog.gz | gzip -dc | head -1)
    [[ $top == "sitekit ($(dpkg-deb -f "$deb" Version)) "* ]] || fail "changelog starts: $top"
    if [ "${SITEKIT_DEB_LINTIAN:-}" = ON ]; then
        # Errors fail; warnings are printed (the README lists those expected).
        status=0
        lintian --fail-on error --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 || status=$?
        grep -v 'running with root privileges' "$work/lintian.log" || true
        [ $status -eq 0 ] || fail "lintian found errors"
    fi
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
echo "ok: $mode"
