# The native Windows build, included by the top level when the target is
# Windows (cmake/mingw-w64-x86_64.cmake, or the Microsoft toolchain on Windows).
#
# It builds the program qelupnp.exe and the device-control library
# QelDeviceControl.dll from the program's own folders against the toolchain's
# Windows SDK. platform/ and its Linux libraries (SQLite, libxml2, GUPnP), the
# tests, the benchmarks and the fuzz targets are not built. What a toolchain's
# SDK lacks comes from the project:
#   - upnphost.h (MinGW-w64 has none): the platform's own, which is written
#     against the SDK names only;
#   - the class and interface ids its libraries do not define: win32/guids.cpp.
# Resources come from resources/QelUPnP.rc through the resource compiler, the
# type library from the project's generator built for the build machine, the
# library's exports from devicecontrol/QelDeviceControl.def.

enable_language(RC)
include(CheckIncludeFileCXX)
include(GNUInstallDirs)

# The program directory: the program, its service description and the
# device-control library, as the program expects them side by side.
set(QEL_PROGRAM_DIR ${CMAKE_BINARY_DIR}/bin)
file(MAKE_DIRECTORY ${QEL_PROGRAM_DIR})

# ---- Compiler and linker settings ---------------------------------------------
# Every program target: the wide (W) API behind the generic names and TEXT(),
# Windows 7 as the oldest system (RegDeleteTreeW, GetModuleHandleExW).
set(QEL_WIN32_DEFINITIONS UNICODE _UNICODE WINVER=0x0601 _WIN32_WINNT=0x0601 NOMINMAX)
if(MSVC)
  set(QEL_WIN32_OPTIONS /W3 /utf-8 /permissive- /Zc:__cplusplus)
else()
  set(QEL_WIN32_OPTIONS -Wall -Wextra -Wno-unused-parameter)
endif()
# The C and C++ runtimes (libgcc, libstdc++, winpthreads; Microsoft's static
# runtime) are linked in, so the files import nothing but Windows system
# libraries.
if(MINGW)
  add_link_options(-static)
endif()
set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")

# ---- What the toolchain's SDK lacks ---------------------------------------------
add_library(qel_win32 INTERFACE)
target_compile_definitions(qel_win32 INTERFACE ${QEL_WIN32_DEFINITIONS})
target_compile_options(qel_win32 INTERFACE ${QEL_WIN32_OPTIONS})
target_include_directories(qel_win32 INTERFACE ${CMAKE_SOURCE_DIR}/common)
check_include_file_cxx(upnphost.h QEL_HAVE_UPNPHOST_H)
if(NOT QEL_HAVE_UPNPHOST_H)
  # Alone in a folder of its own: the toolchain's windows.h and the other SDK
  # headers must stay the toolchain's.
  set(QEL_SDK_EXTRA_DIR ${CMAKE_BINARY_DIR}/sdk-extra)
  configure_file(${CMAKE_SOURCE_DIR}/platform/sdk/upnphost.h ${QEL_SDK_EXTRA_DIR}/upnphost.h COPYONLY)
  target_include_directories(qel_win32 INTERFACE ${QEL_SDK_EXTRA_DIR})
endif()
add_library(qel_win32_guids STATIC ${CMAKE_SOURCE_DIR}/win32/guids.cpp)
target_link_libraries(qel_win32_guids PRIVATE qel_win32)
target_link_libraries(qel_win32 INTERFACE qel_win32_guids ole32 oleaut32 uuid advapi32 user32)

# ---- The type library ------------------------------------------------------------
# The generator runs at build time, so it is built for the build machine: as
# part of this build when that is the target machine, else in a nested build
# with the build machine's compiler (or taken from QEL_HOST_MKTLB, such as
# build/resources/qelupnp-mktlb of a Linux build).
set(QEL_HOST_MKTLB "" CACHE FILEPATH "The type library generator built for the build machine (cross builds)")
add_executable(qelupnp-mktlb ${CMAKE_SOURCE_DIR}/resources/tools/mktlb.cpp)
target_include_directories(qelupnp-mktlb PRIVATE ${CMAKE_SOURCE_DIR}/platform/typelib)
target_compile_options(qelupnp-mktlb PRIVATE ${QEL_WIN32_OPTIONS})
if(NOT CMAKE_CROSSCOMPILING)
  set(mktlb $<TARGET_FILE:qelupnp-mktlb>)
  set(mktlb_depends qelupnp-mktlb)
elseif(QEL_HOST_MKTLB)
  set(mktlb ${QEL_HOST_MKTLB})
  set(mktlb_depends ${QEL_HOST_MKTLB})
else()
  include(ExternalProject)
  set(host_mktlb ${CMAKE_BINARY_DIR}/hosttools/qelupnp-mktlb${CMAKE_HOST_EXECUTABLE_SUFFIX})
  # The nested build must not inherit the cross toolchain, nor a CXX from the
  # environment that names the cross compiler.
  find_program(QEL_HOST_CXX NAMES c++ g++ clang++ DOC "The build machine's C++ compiler")
  set(host_args -DCMAKE_TOOLCHAIN_FILE= -DCMAKE_BUILD_TYPE=Release)
  if(QEL_HOST_CXX)
    list(APPEND host_args -DCMAKE_CXX_COMPILER=${QEL_HOST_CXX})
  endif()
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    list(APPEND host_args -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
  endif()
  ExternalProject_Add(qel_hosttools
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/cmake/hosttools
    BINARY_DIR ${CMAKE_BINARY_DIR}/hosttools
    CMAKE_ARGS ${host_args}
    BUILD_BYPRODUCTS ${host_mktlb}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  set(mktlb ${host_mktlb})
  set(mktlb_depends qel_hosttools ${host_mktlb})
endif()

# A 64-bit program registers its library under win64, as MIDL would write it.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(syskind win64)
else()
  set(syskind win32)
endif()
set(QEL_TYPELIB_FILE ${CMAKE_BINARY_DIR}/resources/QelUPnP.tlb)
# The library is written in the Japanese code page, as its help string says.
add_custom_command(OUTPUT ${QEL_TYPELIB_FILE}
                   COMMAND ${mktlb} --text-lcid 0x0411 --syskind ${syskind} -o ${QEL_TYPELIB_FILE}
                           ${CMAKE_SOURCE_DIR}/resources/QelUPnP.idl
                   DEPENDS ${mktlb_depends} ${CMAKE_SOURCE_DIR}/resources/QelUPnP.idl
                   COMMENT "Writing type library QelUPnP.tlb" VERBATIM)

# ---- The program -------------------------------------------------------------------
set(program_sources)
foreach(dir service log config upnp comreg)
  file(GLOB dir_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND program_sources ${dir_sources})
endforeach()
set(rc ${CMAKE_SOURCE_DIR}/resources/QelUPnP.rc)
# The resource compiler finds QelUPnP.rgs beside the script and the type
# library in the build tree.
set_source_files_properties(${rc} PROPERTIES
  INCLUDE_DIRECTORIES "${CMAKE_SOURCE_DIR}/resources;${CMAKE_BINARY_DIR}/resources"
  OBJECT_DEPENDS "${QEL_TYPELIB_FILE};${CMAKE_SOURCE_DIR}/resources/QelUPnP.rgs")
add_custom_target(qel_tlb DEPENDS ${QEL_TYPELIB_FILE})

# A GUI-subsystem program entered through wWinMain, as a service program is.
add_executable(qelupnp WIN32 ${program_sources} ${rc})
add_dependencies(qelupnp qel_tlb)
target_include_directories(qelupnp PRIVATE ${CMAKE_SOURCE_DIR}/service ${CMAKE_SOURCE_DIR}/log
                           ${CMAKE_SOURCE_DIR}/config ${CMAKE_SOURCE_DIR}/upnp ${CMAKE_SOURCE_DIR}/comreg)
target_link_libraries(qelupnp PRIVATE qel_win32)
if(MINGW)
  target_link_options(qelupnp PRIVATE -municode)
endif()
set_target_properties(qelupnp PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QEL_PROGRAM_DIR})

# ---- The device-control library ------------------------------------------------------
file(GLOB devicecontrol_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/devicecontrol/*.cpp)
add_library(qeldevicecontrol SHARED ${devicecontrol_sources} ${CMAKE_SOURCE_DIR}/devicecontrol/QelDeviceControl.def)
target_include_directories(qeldevicecontrol PUBLIC ${CMAKE_SOURCE_DIR}/devicecontrol)
target_link_libraries(qeldevicecontrol PRIVATE qel_win32)
set_target_properties(qeldevicecontrol PROPERTIES
  OUTPUT_NAME QelDeviceControl PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${QEL_PROGRAM_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

# ---- The service description beside the program --------------------------------------
add_custom_command(
  OUTPUT ${QEL_PROGRAM_DIR}/QelUPnPService.xml
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/examples/QelUPnPService.xml
          ${QEL_PROGRAM_DIR}/QelUPnPService.xml
  DEPENDS ${CMAKE_SOURCE_DIR}/examples/QelUPnPService.xml
  COMMENT "Placing QelUPnPService.xml in the program directory")
add_custom_target(qel_service_description ALL DEPENDS ${QEL_PROGRAM_DIR}/QelUPnPService.xml)

# ---- Installation: one program directory ---------------------------------------------
install(TARGETS qelupnp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qeldevicecontrol RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/examples/QelUPnPService.xml DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/examples/QelWorkspace.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/qelupnp/examples)
