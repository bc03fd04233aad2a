#!/usr/bin/env bash
# Builds and runs the C++ unit tests twice: a plain optimised build, then a
# ThreadSanitizer build. Needs cmake, a C++20 g++ and GoogleTest; no Python.
# Exits non-zero on the first failure.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

build_and_run() {
  local dir="$1"; shift
  echo "=== C++ tests: ${dir} ==="
  cmake -S "$root" -B "$root/build/$dir" "${generator[@]}" \
    -DBATCHAUGMENTOR_BUILD_TESTS=ON -DBATCHAUGMENTOR_BUILD_MODULE=OFF "$@"
  cmake --build "$root/build/$dir" --parallel "$jobs"
  "${runner[@]}" "$root/build/$dir/batchaugmentor_cpp_tests" --gtest_brief=1
}

runner=()
build_and_run cpp-tests -DCMAKE_BUILD_TYPE=Release

# ThreadSanitizer maps its shadow memory at fixed addresses, which address
# space randomisation on newer kernels can collide with; setarch -R turns
# randomisation off for the test process only.
runner=(setarch "$(uname -m)" -R)
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  build_and_run cpp-tests-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBATCHAUGMENTOR_SANITIZE=thread
