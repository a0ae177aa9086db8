# Sourced after setup.sh by scripts/wheel and scripts/zig-tests: zig's clang
# (the ziglang package) as the compiler, targeting glibc 2.28 with its own
# libc++ linked in statically.
ZIG_TARGET=x86_64-linux-gnu.2.28
MULTIARCH=/usr/lib/x86_64-linux-gnu
# One zig for every build: a newer one brings another libc++, and the build
# folders (GoogleTest's included) are named after it so that none mixes two.
ZIG_VERSION=0.17.1

# zig_toolchain DIR: DIR/bin/zig-cc and zig-c++ (CMake takes a compiler as
# one program), and DIR/include with the Debian libraries' own headers only:
# -I/usr/include would put glibc 2.36's headers before zig's 2.28 ones.
zig_toolchain() {
    local dir="$1" tool header
    pip_quiet install -q "ziglang==$ZIG_VERSION"
    mkdir -p "$dir/bin" "$dir/include"
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s "$@"\n' "$VENV/bin/python" "$tool" "$ZIG_TARGET" \
            >"$dir/bin/zig-$tool"
        chmod +x "$dir/bin/zig-$tool"
    done
    for header in /usr/include/openssl /usr/include/x86_64-linux-gnu/openssl /usr/include/zlib.h \
        /usr/include/zconf.h /usr/include/isa-l /usr/include/isa-l.h /usr/include/libdeflate.h; do
        [ -e "$header" ] || continue
        if [ -d "$header" ]; then
            mkdir -p "$dir/include/$(basename "$header")"
            ln -sf "$header"/* "$dir/include/$(basename "$header")/"
        else
            ln -sf "$header" "$dir/include/"
        fi
    done
}

# zig_defines DIR: CMake's definitions for a build with DIR's toolchain:
# libcrypto, zlib and libdeflate from Debian's static archives, ISA-L's
# shared library (Debian ships no archive of it).
zig_defines() {
    local dir="$1"
    printf '%s\n' "CMAKE_CXX_COMPILER=$dir/bin/zig-c++" \
        "OPENSSL_USE_STATIC_LIBS=TRUE" "OPENSSL_INCLUDE_DIR=$dir/include" \
        "ZLIB_INCLUDE_DIR=$dir/include" "ZLIB_LIBRARY=$MULTIARCH/libz.a" \
        "ISAL_INCLUDE_DIR=$dir/include" "ISAL_LIBRARY=$MULTIARCH/libisal.so" \
        "LIBDEFLATE_INCLUDE_DIR=$dir/include" "LIBDEFLATE_LIBRARY=$MULTIARCH/libdeflate.a"
}
