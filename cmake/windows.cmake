# pondrel.sys: the driver sources and the version resource, linked as a
# native-subsystem kernel image that imports only from ntoskrnl.exe, USBD.SYS
# and HAL.dll. Included by the top-level CMakeLists.txt when cross-compiling
# for Windows.
enable_language(RC)

# The DDK headers of mingw-w64 live in an include/ddk folder next to the
# Windows headers that the cross compiler itself uses.
find_path(PONDREL_MINGW_INCLUDE_DIR NAMES ddk/ntddk.h
  PATHS ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES} /usr/share/mingw-w64/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "mingw-w64 include folder that holds ddk/")
if(NOT PONDREL_MINGW_INCLUDE_DIR)
  message(FATAL_ERROR "mingw-w64 DDK headers (ddk/ntddk.h) not found; install mingw-w64-x86-64-dev")
endif()
set(PONDREL_DDK_INCLUDE_DIR ${PONDREL_MINGW_INCLUDE_DIR}/ddk)

# Nothing from the C or C++ runtime, nor the Win32 import libraries that
# CMake adds to every Windows link by default: a driver that imported
# kernel32 or msvcrt would not load.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# -O2 rather than CMake's -O3 for Release: the usual level for kernel code.
set(CMAKE_CXX_FLAGS_RELEASE "-O2")

# Kernel C++. Unwind tables stay: on x64 Windows the kernel walks .pdata to
# unwind through driver frames (bug-check stacks, exceptions raised by the
# routines the driver calls). Thread-safe statics would call into the C++
# runtime; strict aliasing is off as MSVC-built drivers assume.
set(PONDREL_WINDOWS_CXX_FLAGS
  ${PONDREL_KERNEL_CXX_FLAGS}
  -ffreestanding
  -fno-threadsafe-statics
  -fno-strict-aliasing
  -fno-stack-protector)

# g++ cannot compile the DDK's wdm.h without these: the interlocked bit
# intrinsics are declared both by the compiler and by the header.
set(PONDREL_WINDOWS_DEFINES
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

# The image: no start files or default libraries, the native subsystem, the
# entry point DriverEntry (x64 names carry no leading underscore), a
# relocatable NX-compatible WDM image with the usual driver base and
# alignments, no exports, and no auto-import (its runtime pseudo-relocations
# would need the C runtime to fix them up). ld writes the PE checksum that the
# kernel verifies for drivers.
set(PONDREL_SYS_LINK_OPTIONS
  -nostdlib
  -shared
  -s
  LINKER:--subsystem,native
  LINKER:--entry,DriverEntry
  LINKER:--image-base,0x140000000
  LINKER:--file-alignment,0x200
  LINKER:--section-alignment,0x1000
  LINKER:--dynamicbase
  LINKER:--enable-reloc-section
  LINKER:--nxcompat
  LINKER:--wdmdriver
  LINKER:--exclude-all-symbols
  LINKER:--disable-auto-import
  LINKER:--disable-runtime-pseudo-reloc
  LINKER:--no-undefined)

if(NOT PONDREL_DRIVER_SOURCES)
  message(FATAL_ERROR "no driver sources found in ${PONDREL_DRIVER_DIRS}")
endif()

add_executable(pondrel_sys ${PONDREL_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/driver/pondrel.rc)
# The shipped image is compiled file by file even in a unity build
# (PONDREL_UNITY): one translation unit would let the optimiser inline
# across the driver's files and lay its code out differently from the
# image built without it.
set_target_properties(pondrel_sys PROPERTIES
  UNITY_BUILD OFF
  OUTPUT_NAME pondrel
  SUFFIX .sys
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  CXX_STANDARD 17
  CXX_STANDARD_REQUIRED ON
  CXX_EXTENSIONS OFF)
target_include_directories(pondrel_sys PRIVATE
  ${CMAKE_SOURCE_DIR}
  "$<$<COMPILE_LANGUAGE:CXX>:${PONDREL_DDK_INCLUDE_DIR}>")
target_compile_definitions(pondrel_sys PRIVATE
  "$<$<COMPILE_LANGUAGE:CXX>:${PONDREL_WINDOWS_DEFINES}>")
target_compile_options(pondrel_sys PRIVATE
  "$<$<COMPILE_LANGUAGE:CXX>:${PONDREL_WINDOWS_CXX_FLAGS}>")
target_link_options(pondrel_sys PRIVATE ${PONDREL_SYS_LINK_OPTIONS})
# The DDK headers (ntddk.h through platform/kernel.h, which every driver
# file includes) take most of each file's compile time: parsed once.
target_precompile_headers(pondrel_sys PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${CMAKE_SOURCE_DIR}/platform/kernel.h>")
# Order matters: ntoskrnl first, so that memcpy and memset resolve there;
# libgcc only for helpers such as the stack probe.
target_link_libraries(pondrel_sys PRIVATE ntoskrnl usbd hal gcc)

# pondrelctl.exe, the console client, next to pondrel.sys.
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/pondrelctl ${CMAKE_BINARY_DIR}/pondrelctl)

# The example program of the public application header, in both include
# orders (tests/build): the header and the example keep compiling as C.
include(${CMAKE_SOURCE_DIR}/tests/build/example_build.cmake)

# The test bus for the Wine run (tests/wine): a bus driver with the same
# kernel flags and image layout, never packaged.
file(GLOB PONDREL_TEST_BUS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/*.cpp)
if(PONDREL_TEST_BUS_SOURCES)
  add_executable(pondrel_test_bus ${PONDREL_TEST_BUS_SOURCES})
  set_target_properties(pondrel_test_bus PROPERTIES
    OUTPUT_NAME pondreltestbus
    SUFFIX .sys
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    CXX_STANDARD 17
    CXX_STANDARD_REQUIRED ON
    CXX_EXTENSIONS OFF)
  target_include_directories(pondrel_test_bus PRIVATE ${CMAKE_SOURCE_DIR} ${PONDREL_DDK_INCLUDE_DIR})
  target_compile_definitions(pondrel_test_bus PRIVATE ${PONDREL_WINDOWS_DEFINES})
  target_compile_options(pondrel_test_bus PRIVATE ${PONDREL_WINDOWS_CXX_FLAGS})
  target_link_options(pondrel_test_bus PRIVATE ${PONDREL_SYS_LINK_OPTIONS})
  target_link_libraries(pondrel_test_bus PRIVATE ntoskrnl hal gcc)
endif()

pondrel_unity_exceptions()
