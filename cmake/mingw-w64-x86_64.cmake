# Cross-compiles for Windows x64 with Debian's mingw-w64 (posix thread model, so std::thread and
# std::mutex work). The compiler runtime and winpthread are linked statically: the DLL and the test
# programs need nothing but system DLLs. ctest runs each test program under Wine (scripts/wine-run.sh).
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#     -DKESTRAVO_MINGW_DEPS=<prefix from scripts/deps.sh's ensure_windows_deps>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTRAVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTRAVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRAVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRAVO_MINGW_TRIPLET}-windres)

# The prefix holding TinyXML and GoogleTest built for Windows. The toolchain file is read again
# for every try_compile project, which sees only the environment: keep the value there too.
if(NOT DEFINED KESTRAVO_MINGW_DEPS AND DEFINED ENV{KESTRAVO_MINGW_DEPS})
  set(KESTRAVO_MINGW_DEPS "$ENV{KESTRAVO_MINGW_DEPS}")
endif()
set(KESTRAVO_MINGW_DEPS "${KESTRAVO_MINGW_DEPS}" CACHE PATH
  "Prefix with the Windows builds of the dependencies (scripts/deps.sh: ensure_windows_deps)")
if(KESTRAVO_MINGW_DEPS)
  set(ENV{KESTRAVO_MINGW_DEPS} "${KESTRAVO_MINGW_DEPS}")
  # pkg-config must read the prefix's .pc files only, never the build machine's.
  set(ENV{PKG_CONFIG_LIBDIR} "${KESTRAVO_MINGW_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRAVO_MINGW_TRIPLET} ${KESTRAVO_MINGW_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static makes the linker take libwinpthread.a (and every other archive) over its import library;
# system DLLs have import libraries only, so they stay dynamic.
set(KESTRAVO_MINGW_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KESTRAVO_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KESTRAVO_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KESTRAVO_MINGW_STATIC_RUNTIME}")

get_filename_component(KESTRAVO_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KESTRAVO_WINE_RUN}")
