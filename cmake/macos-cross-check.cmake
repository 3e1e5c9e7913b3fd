# Configures the macOS build on a machine that is not a Mac, to check the
# CMake files and compile every object against a copy of the SDK headers.
# Objects only; scripts/macos-compile-check links the binary against the
# SDK's link stubs.
#   cmake -S . -B build-macos -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross-check.cmake -DMACOS_SDK=/path/to/sdk
#   cmake --build build-macos -j2 --target audiotap_core audiotap_macos
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_C_COMPILER /usr/bin/clang-19)
set(CMAKE_CXX_COMPILER /usr/bin/clang++-19)
set(CMAKE_OBJCXX_COMPILER /usr/bin/clang++-19)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_OSX_ARCHITECTURES arm64 CACHE STRING "")
if(NOT MACOS_SDK)
  set(MACOS_SDK $ENV{MACOS_SDK})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MACOS_SDK)
set(CMAKE_OSX_SYSROOT ${MACOS_SDK})
set(flags "-target arm64-apple-macos14.2 -iframework ${MACOS_SDK}/Frameworks -nostdinc++ -isystem ${MACOS_SDK}/include/c++/v1 -isystem ${MACOS_SDK}/include")
set(CMAKE_CXX_FLAGS_INIT "${flags}")
set(CMAKE_OBJCXX_FLAGS_INIT "${flags}")
set(CMAKE_C_FLAGS_INIT "-target arm64-apple-macos14.2")
# Never run: nothing links here.
set(CMAKE_INSTALL_NAME_TOOL /bin/true)
