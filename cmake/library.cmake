# The engine as a static library that other Windows programs link, with the
# C header api/fwstack_update.h as its one door: the program's own sources and
# flags, installed with a CMake package, a pkg-config file and the helper that
# gives a host program its version resource and signature.
# Without fwstack's entry, console and command line (app/): a host has its own.
set(LIBRARY_SOURCES ${CORE_SOURCES} ${WIN32_SOURCES})
list(FILTER LIBRARY_SOURCES EXCLUDE REGEX "/app/")
add_library(fwstack_update STATIC ${LIBRARY_SOURCES})
add_library(fwstack::update ALIAS fwstack_update)
target_include_directories(fwstack_update PRIVATE ${CMAKE_SOURCE_DIR}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/api> $<INSTALL_INTERFACE:include>)
target_compile_options(fwstack_update PRIVATE ${WARNINGS} ${FREESTANDING} ${PRODUCT_OPTIMIZATION})
target_compile_definitions(fwstack_update PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN FWSTACK_ENGINE_ONLY)
# The engine imports kernel32 alone and loads every other DLL from the system
# folder itself.
target_link_libraries(fwstack_update INTERFACE kernel32)
# Functions byte-aligned, as in the program: every host's linker keeps the
# sections as they come.
set_target_properties(fwstack_update PROPERTIES EXPORT_NAME update
    PUBLIC_HEADER ${CMAKE_SOURCE_DIR}/api/fwstack_update.h
    CXX_COMPILER_LAUNCHER ${BYTE_ALIGNED_FUNCTIONS})
# fwstack's own deployment values, used only by fwstack's front end; a host's
# settings come from the host at run time.
fwstack_deployment(fwstack_update "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")

set(FWSTACK_UPDATE_PACKAGE_DIR lib/cmake/fwstack_update)
install(TARGETS fwstack_update EXPORT fwstack_update
        ARCHIVE DESTINATION lib PUBLIC_HEADER DESTINATION include)
# The same archive under the name MSVC's tools look for (link, lld-link, a
# "-lfwstack_update" that meson or pkg-config users turn into
# fwstack_update.lib): the format is the GNU one with COFF objects, which
# MSVC's linker and lld-link both read, and the objects need nothing but
# kernel32 (the library has no C runtime and no frame that calls a stack probe).
install(FILES $<TARGET_FILE:fwstack_update> DESTINATION lib RENAME fwstack_update.lib)
install(EXPORT fwstack_update NAMESPACE fwstack:: FILE fwstack_update-targets.cmake
        DESTINATION ${FWSTACK_UPDATE_PACKAGE_DIR})
install(FILES cmake/fwstack_update-config.cmake cmake/fwstack_update_program.cmake
              cmake/fwstack_pkcs11.cmake cmake/sign.cmake
        DESTINATION ${FWSTACK_UPDATE_PACKAGE_DIR})
# What a host's build and a Wine trial take from the package: the toolchain
# file, the Wine runner it names, and the version resource (also for a build
# without CMake, with windres).
install(FILES cmake/mingw-w64-x86_64.cmake cmake/fwstack_program.rc
        DESTINATION share/fwstack_update)
install(PROGRAMS cmake/wine-run.sh cmake/wine-prefix.sh DESTINATION share/fwstack_update)
# The sample site of the update server, for a program's own downloads folder.
install(FILES deploy/nginx/fwstack.conf DESTINATION share/fwstack_update/nginx)
configure_file(cmake/fwstack_update.pc.in ${CMAKE_BINARY_DIR}/fwstack_update.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/fwstack_update.pc DESTINATION lib/pkgconfig)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/fwstack_update-config-version.cmake
    VERSION 2.1.0 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/fwstack_update-config-version.cmake
        DESTINATION ${FWSTACK_UPDATE_PACKAGE_DIR})

# fwstack_update_program() itself comes with cmake/signing.cmake, for hosts
# built in this tree (add_subdirectory) as for fwstack.
