#!/usr/bin/env bash
# Cross-builds the C++ core and its unit tests for aarch64 (64-bit Arm) and
# runs them under qemu-user emulation: the check that the module builds and
# gives correct results where only the portable resampling path exists.
# Needs Debian's g++-aarch64-linux-gnu, qemu-user and the GoogleTest sources
# (libgtest-dev); installs them with apt-get when missing and run as root.
#
#   tests/cpp/run_aarch64_tests.sh [gtest args]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build/aarch64"
sysroot=/usr/aarch64-linux-gnu

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null ||
   [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq g++-aarch64-linux-gnu qemu-user libgtest-dev >/dev/null
fi
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

mkdir -p "$build"
cat > "$build/toolchain.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH $sysroot $build/gtest-install)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;$sysroot)
TOOLCHAIN

# GoogleTest from Debian's sources, built once for the target.
if [ ! -f "$build/gtest-install/.built" ]; then
  echo "=== GoogleTest for aarch64 ==="
  cmake -S /usr/src/googletest -B "$build/gtest" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$build/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$build/gtest-install" >/dev/null
  cmake --build "$build/gtest" --parallel 2 >/dev/null
  cmake --install "$build/gtest" >/dev/null
  touch "$build/gtest-install/.built"
fi

echo "=== C++ tests: aarch64 under qemu-user ==="
cmake -S "$root" -B "$build/core" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$build/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$build/gtest-install" \
  -DBATCHAUGMENTOR_BUILD_TESTS=ON -DBATCHAUGMENTOR_BUILD_MODULE=OFF -DBATCHAUGMENTOR_DECODERS=OFF >/dev/null
cmake --build "$build/core" --parallel 2
# The ELF machine field must say aarch64 (0xb7), or this checked nothing.
[ "$(od -An -t x1 -j 18 -N 2 "$build/core/batchaugmentor_cpp_tests" | tr -d ' ')" = b700 ] ||
  { echo "not an aarch64 binary" >&2; exit 1; }
# The one death test that insists on re-executing the binary is left out:
# without binfmt_misc registration an aarch64 binary cannot be exec'ed
# directly, only through qemu. The other death tests fork without exec.
qemu-aarch64 -L "$sysroot" "$build/core/batchaugmentor_cpp_tests" --gtest_brief=1 \
  --gtest_death_test_style=fast --gtest_filter=-BuildDeathTest.AnyOtherStartFailureIsFatal "$@"
