#!/usr/bin/env bash
# Prepares a Debian machine for building and testing orv_setup:
#  1. installs the Debian packages the build and the tests need (the window
#     tests' virtual X server and tools among them),
#  2. enables Debian's source packages (derived from the machine's own apt source),
#  3. fetches the Debian sources of OpenSSL, zstd, lz4 and xxHash and cross-builds
#     them as static libraries for 64-bit Windows into .cache/ (ignored by git).
# Idempotent: each stage leaves a stamp and is skipped when its stamp is there.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache="$top/.cache"
prefix="$cache/win64"
srcdir="$cache/src"
jobs=$(nproc)
mkdir -p "$cache" "$srcdir" "$prefix"

say() { printf 'bootstrap: %s\n' "$*"; }

# Runs a build command with its output in .cache/build.log, shown only on failure.
quiet() {
    if ! "$@" >"$cache/build.log" 2>&1; then
        tail -n 40 "$cache/build.log" >&2
        echo "bootstrap: failed: $*" >&2
        exit 1
    fi
}

sudo_if_needed() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(
    mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 cmake make perl g++ python3 zstd openssl dpkg-dev googletest
    librust-blake3-dev libssl-dev libzstd-dev liblz4-dev libxxhash-dev
    # The icon is drawn with ImageMagick at build time; the window tests run in
    # a virtual X server (xvfb-run needs xauth), the end-to-end ones press keys
    # with xdotool, the screenshots take a small window manager for the frame.
    # Wine's own fonts (Tahoma and the dialog fonts) come only as a
    # recommendation of Wine, and recommendations are left out below.
    imagemagick xvfb xauth xdotool openbox fonts-wine
)

# --- 1. Debian packages -------------------------------------------------------
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    sudo_if_needed apt-get update -q
    DEBIAN_FRONTEND=noninteractive sudo_if_needed apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- 2. Source packages -------------------------------------------------------
# The machine's apt source is a deb822 file under sources.list.d; the source
# entry is derived from it so that no registry host is named here.
enable_deb_src() {
    local f out=/etc/apt/sources.list.d/orv-deb-src.sources
    [ -f "$out" ] && return 0
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        grep -q '^URIs:.*debian' "$f" || continue
        sed -e 's/^Types:.*/Types: deb-src/' "$f" | sudo_if_needed tee "$out" >/dev/null
        sudo_if_needed apt-get update -q >&2
        return 0
    done
    if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
            sudo_if_needed tee /etc/apt/sources.list.d/orv-deb-src.list >/dev/null
        sudo_if_needed apt-get update -q >&2
        return 0
    fi
    echo "bootstrap: no Debian apt source found to derive a deb-src entry from" >&2
    exit 1
}

# Prints only the unpacked directory on standard output (callers capture it);
# everything else it runs reports on standard error.
fetch_source() { # $1 = source package
    local pkg=$1 dir
    dir=$(find "$srcdir" -maxdepth 1 -mindepth 1 -type d -name "$pkg-*" | head -n1)
    if [ -z "$dir" ]; then
        enable_deb_src
        # Newest version first; a mirror may lack the files of one version
        # (the security archive often does), so older ones are tried in turn.
        local v ok=
        for v in $(apt-cache showsrc "$pkg" | sed -n 's/^Version: //p' | sort -Vr | uniq); do
            if (cd "$srcdir" && apt-get source -q "$pkg=$v" >/dev/null 2>&1); then ok=1; break; fi
            rm -f "$srcdir/${pkg}_"*
        done
        [ -n "$ok" ] || { echo "bootstrap: apt-get source $pkg failed" >&2; exit 1; }
        dir=$(find "$srcdir" -maxdepth 1 -mindepth 1 -type d -name "$pkg-*" | head -n1)
    fi
    [ -n "$dir" ] || { echo "bootstrap: source of $pkg not found" >&2; exit 1; }
    printf '%s\n' "$dir"
}

cross=x86_64-w64-mingw32
cc="$cross-gcc-posix"
ar="$cross-ar"
ranlib="$cross-ranlib"

# --- 3. Cross-built static libraries ------------------------------------------
# With OpenSSL's assembler code (SHA-256 is several times faster than its
# plain C); for the mingw64 target perlasm writes GNU as syntax, so the
# cross binutils assemble it and no other assembler is needed. The stamp
# names the asm build, so a cache made without it is rebuilt.
if [ ! -f "$prefix/.openssl-asm" ]; then
    d=$(fetch_source openssl)
    say "building OpenSSL libcrypto from $(basename "$d")"
    rm -rf "$cache/build-openssl" && cp -a "$d" "$cache/build-openssl"
    rm -f "$prefix/.openssl"
    (cd "$cache/build-openssl" &&
        quiet ./Configure mingw64 no-shared no-tests no-module no-engine \
            no-dso --cross-compile-prefix="$cross-" --prefix="$prefix" --libdir=lib \
            CC=gcc-posix &&
        quiet make -s -j"$jobs" build_generated &&
        quiet make -s -j"$jobs" libcrypto.a &&
        mkdir -p "$prefix/lib" "$prefix/include" &&
        cp libcrypto.a "$prefix/lib/" && rm -rf "$prefix/include/openssl" &&
        cp -r include/openssl "$prefix/include/")
    touch "$prefix/.openssl-asm"
fi

if [ ! -f "$prefix/.zstd" ]; then
    d=$(fetch_source libzstd)
    say "building zstd from $(basename "$d")"
    rm -rf "$cache/build-zstd" && cp -a "$d" "$cache/build-zstd"
    # Single-threaded static library: the product decompresses on one thread.
    quiet make -s -C "$cache/build-zstd/lib" -j"$jobs" libzstd.a CC="$cc" AR="$ar"
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$cache/build-zstd/lib/libzstd.a" "$prefix/lib/"
    cp "$cache/build-zstd/lib/zstd.h" "$cache/build-zstd/lib/zstd_errors.h" \
        "$cache/build-zstd/lib/zdict.h" "$prefix/include/"
    touch "$prefix/.zstd"
fi

if [ ! -f "$prefix/.lz4" ]; then
    d=$(fetch_source lz4)
    say "building lz4 from $(basename "$d")"
    rm -rf "$cache/build-lz4" && cp -a "$d" "$cache/build-lz4"
    quiet make -s -C "$cache/build-lz4/lib" -j"$jobs" liblz4.a CC="$cc" AR="$ar"
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$cache/build-lz4/lib/liblz4.a" "$prefix/lib/"
    cp "$cache/build-lz4/lib/lz4.h" "$cache/build-lz4/lib/lz4hc.h" \
        "$cache/build-lz4/lib/lz4frame.h" "$prefix/include/"
    touch "$prefix/.lz4"
fi

if [ ! -f "$prefix/.xxhash" ]; then
    d=$(fetch_source xxhash)
    say "building xxHash from $(basename "$d")"
    rm -rf "$cache/build-xxhash" && mkdir -p "$cache/build-xxhash"
    "$cc" -O2 -c "$d/xxhash.c" -I"$d" -o "$cache/build-xxhash/xxhash.o"
    rm -f "$prefix/lib/libxxhash.a"
    mkdir -p "$prefix/lib" "$prefix/include"
    "$ar" rcs "$prefix/lib/libxxhash.a" "$cache/build-xxhash/xxhash.o"
    "$ranlib" "$prefix/lib/libxxhash.a"
    cp "$d/xxhash.h" "$prefix/include/"
    touch "$prefix/.xxhash"
fi

# BLAKE3 has no C library package in Debian: its C sources ship with the Rust
# crate and are compiled by the project's own build (both builds).
blake3=$(find /usr/share/cargo/registry -maxdepth 1 -type d -name 'blake3-*' | sort -V | tail -n1)
[ -f "$blake3/c/blake3.h" ] || { echo "bootstrap: BLAKE3 C sources not found" >&2; exit 1; }

# GoogleTest from Debian's source package, built by the project for each target.
[ -f /usr/src/googletest/CMakeLists.txt ] || { echo "bootstrap: /usr/src/googletest missing" >&2; exit 1; }

say "ready (libraries in ${prefix#$top/})"
