# Release builds: compile with the Zig toolchain's clang against an old glibc
# (2.28) and its own static libc++, so the module needs nothing newer from the
# system than what manylinux_2_28 promises. Everything else (flags, per-file
# instruction sets) comes from CMakeLists.txt unchanged.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake ...
#
# ZIG names the zig executable; by default it is the one in the `ziglang`
# package of the Python that runs the build.
# Host and target are both x86-64 Linux: not declared a cross build, so that
# FindPython still asks the running interpreter for its headers.

set(BATCHAUGMENTOR_ZIG_TARGET "x86_64-linux-gnu.2.28" CACHE STRING "Zig target triple with glibc version")
if(NOT ZIG AND DEFINED ENV{ZIG})
  set(ZIG "$ENV{ZIG}")
endif()
if(NOT ZIG)
  set(_python "${Python_EXECUTABLE}")
  if(NOT _python)
    set(_python python3)
  endif()
  execute_process(
    COMMAND "${_python}" -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE ZIG OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _status ERROR_QUIET)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "No zig: pip install ziglang, or set ZIG to a zig executable")
  endif()
endif()
# The compiler checks run in projects of their own: hand them the same zig.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG BATCHAUGMENTOR_ZIG_TARGET)
set(CMAKE_CXX_COMPILER "${ZIG}" c++ -target ${BATCHAUGMENTOR_ZIG_TARGET})
# zig also carries the archiver, so the build needs no binutils.
set(CMAKE_CXX_ARCHIVE_CREATE "\"${ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "\"${ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "\"${ZIG}\" ranlib <TARGET>")
