# cmake/zig-toolchain.cmake: the compiler of the release wheels.
#
# zig's clang with LLVM's libc++, building against the C library interface of
# the glibc named in QUARVO_ZIG_TARGET (x86_64-linux-gnu.2.17,
# aarch64-linux-gnu.2.17): the module can bind only what that glibc offered,
# whatever glibc the building machine runs, and another architecture is built
# as easily as this one. zig comes from the `ziglang` package of the Python
# that runs the build (QUARVO_ZIG_PYTHON, else Python_EXECUTABLE, which
# scikit-build-core sets). scripts/build-wheel uses this file; the development
# build keeps the system's g++.
cmake_minimum_required(VERSION 3.25)

# The compiler checks compile without linking (a target of their own makes
# CMake identify the compiler from an object file): any link makes zig build
# its C++ runtime for that link's mode, and the checks' unoptimised one would
# cost a cold build minutes only to be thrown away.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_COMPILER_TARGET ${QUARVO_ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${QUARVO_ZIG_TARGET})

# A try_compile project reads this file again with only these variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUARVO_ZIG_TARGET QUARVO_ZIG)

if(NOT QUARVO_ZIG_TARGET MATCHES "^(x86_64|aarch64)-linux-gnu\\.2\\.[0-9]+$")
  message(FATAL_ERROR "QUARVO_ZIG_TARGET must name an architecture and a glibc, "
                      "such as x86_64-linux-gnu.2.17; it is \"${QUARVO_ZIG_TARGET}\"")
endif()
string(REGEX MATCH "^[^-]+" _quarvo_arch "${QUARVO_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_quarvo_arch})

if(NOT QUARVO_ZIG)
  if(QUARVO_ZIG_PYTHON)
    set(_quarvo_python "${QUARVO_ZIG_PYTHON}")
  else()
    set(_quarvo_python "${Python_EXECUTABLE}")
  endif()
  execute_process(
    COMMAND "${_quarvo_python}" -c "import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).with_name('zig'))"
    OUTPUT_VARIABLE _quarvo_zig OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _quarvo_status)
  if(NOT _quarvo_status EQUAL 0 OR NOT EXISTS "${_quarvo_zig}")
    message(FATAL_ERROR "zig not found: `${_quarvo_python} -m pip install ziglang` (scripts/bootstrap does)")
  endif()
  set(QUARVO_ZIG "${_quarvo_zig}" CACHE FILEPATH "zig of the ziglang package")
endif()

set(CMAKE_C_COMPILER "${QUARVO_ZIG}" cc -target ${QUARVO_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${QUARVO_ZIG}" c++ -target ${QUARVO_ZIG_TARGET})
# zig's own archiver knows every target's objects.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${QUARVO_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${QUARVO_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${QUARVO_ZIG}\" ranlib <TARGET>")
endforeach()

# Stripped as it is linked: the building machine's strip may not know the
# target's objects (scripts/build-wheel turns scikit-build-core's off).
set(CMAKE_MODULE_LINKER_FLAGS_INIT -s)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -s)
