# The Windows tests: the core's unit tests and the Win32 layer's tests under
# Wine, program variants for the end-to-end tests, and the test assets
# (throwaway PKI, signed releases) that both use.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(FWSTACK_E2E_PORT 47443 CACHE STRING "HTTPS port of the end-to-end update server")
set(E2E_SERVER "localhost:${FWSTACK_E2E_PORT}")
# The test CA's CRL is named at http://127.0.0.1:<this port>/ca.crl and served
# by the tests that verify releases.
math(EXPR FWSTACK_CRL_PORT "${FWSTACK_E2E_PORT} + 1")
set(WINE_RUN ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh)
set(WINE_ENV FWSTACK_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix)
set(ASSETS ${CMAKE_BINARY_DIR}/assets)
set(VARIANTS ${CMAKE_BINARY_DIR}/variants)

# Release variants: each folder holds an fwstack.exe of one version that
# talks to the end-to-end server.
function(fwstack_variant name version)
  fwstack_program(variant_${name} fwstack "${version}" "${E2E_SERVER}" ${ARGN})
  set_target_properties(variant_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VARIANTS}/${name})
  list(APPEND VARIANT_TARGETS variant_${name})
  set(VARIANT_TARGETS ${VARIANT_TARGETS} PARENT_SCOPE)
endfunction()
set(VARIANT_TARGETS)
fwstack_variant(0.0.1 0.0.1)
fwstack_variant(0.0.2 0.0.2)
fwstack_variant(0.0.3 0.0.3)
fwstack_variant(0.0.4 0.0.4)
fwstack_variant(0.0.3-beta.1 0.0.3-beta.1)
fwstack_variant(0.0.3-noversion 0.0.3 NO_VERSION_RESOURCE)
# The DLL's next version, which the Go example updates the DLL to.
fwstack_update_dll(update_dll_0.0.3 0.0.3)
set_target_properties(update_dll_0.0.3 PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VARIANTS}/dll-0.0.3
                      ARCHIVE_OUTPUT_DIRECTORY ${VARIANTS}/dll-0.0.3)

# Small Windows helpers of the tests (install_ca comes with the SDK).
add_executable(launch tests/support/launch.cpp)
add_executable(hold_file tests/support/hold_file.cpp)
foreach(helper launch hold_file)
  target_link_options(${helper} PRIVATE -static -municode)
  target_compile_definitions(${helper} PRIVATE UNICODE _UNICODE)
  target_compile_options(${helper} PRIVATE ${WARNINGS})
endforeach()

# DLLs that the loader test plants beside the program, each exporting the
# function that static_importer takes from the real DLL of that name.
set(PLANTED ${CMAKE_BINARY_DIR}/planted)
foreach(planted version:GetFileVersionInfoSizeW winhttp:WinHttpCheckPlatform
                wintrust:WinVerifyTrust crypt32:CertGetNameStringW)
  string(REPLACE ":" ";" planted ${planted})
  list(GET planted 0 dll)
  list(GET planted 1 export)
  add_library(planted_${dll} SHARED tests/support/planted_dll.cpp)
  set_target_properties(planted_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX ""
                        RUNTIME_OUTPUT_DIRECTORY ${PLANTED}/${dll})
  target_compile_definitions(planted_${dll} PRIVATE PLANTED_EXPORT=${export})
  target_link_options(planted_${dll} PRIVATE -static -nostdlib -Wl,--entry,DllMain)
  target_link_libraries(planted_${dll} PRIVATE kernel32)
endforeach()
add_executable(static_importer tests/support/static_importer.cpp)
target_link_libraries(static_importer PRIVATE version winhttp wintrust crypt32)
target_link_options(static_importer PRIVATE -static)

# The program's engine, ended at a chosen system call (the crash test).
add_executable(crash_runner tests/support/crash_runner.cpp)
target_link_libraries(crash_runner PRIVATE fwstack_objects ${SYSTEM_LIBS})
target_link_options(crash_runner PRIVATE -static -municode)
target_compile_options(crash_runner PRIVATE ${WARNINGS})
fwstack_deployment(crash_runner "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")

# The test server itself, over HTTP and over HTTPS with the assets' certificate.
add_test(NAME support.update_server
         COMMAND ${CMAKE_COMMAND} -E env FWSTACK_ASSETS=${ASSETS}
                 python3 ${CMAKE_SOURCE_DIR}/tests/support/update_server_test.py)
set_tests_properties(support.update_server PROPERTIES FIXTURES_REQUIRED assets)

# The throwaway PKI, the signed releases, and the CA in the prefix's Root store.
add_test(NAME assets
         COMMAND ${CMAKE_COMMAND} -E env ${WINE_ENV} FWSTACK_CRL_PORT=${FWSTACK_CRL_PORT}
                 bash ${CMAKE_SOURCE_DIR}/tests/support/make_assets.sh
                 ${ASSETS} ${VARIANTS} $<TARGET_FILE:install_ca>)
set_tests_properties(assets PROPERTIES FIXTURES_SETUP assets)

# The core's unit tests, the same sources as natively.
add_executable(core_tests ${UNIT_TEST_SOURCES})
target_link_libraries(core_tests PRIVATE gtest_main fwstack_objects ${SYSTEM_LIBS})
fwstack_deployment(core_tests "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")
target_link_options(core_tests PRIVATE -static)
add_test(NAME windows.core_tests COMMAND ${CMAKE_COMMAND} -E env ${WINE_ENV}
         ${WINE_RUN} $<TARGET_FILE:core_tests>)

# The Win32 layer against real files, a real local server and signed files.
file(GLOB WIN_TEST_SOURCES CONFIGURE_DEPENDS tests/win/*.cpp)
if(WIN_TEST_SOURCES)
  add_executable(win_tests ${WIN_TEST_SOURCES})
  target_link_libraries(win_tests PRIVATE gtest_main fwstack_objects ${SYSTEM_LIBS})
  fwstack_deployment(win_tests "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")
  target_link_options(win_tests PRIVATE -static)
  # A host's own DLL beside the tests, loaded by its plain name.
  add_library(host_plugin SHARED tests/support/host_plugin.cpp)
  set_target_properties(host_plugin PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_link_options(host_plugin PRIVATE -static -nostdlib -Wl,--entry,DllMain)
  add_dependencies(win_tests host_plugin)
  add_test(NAME windows.win_tests
           COMMAND ${CMAKE_COMMAND} -E env ${WINE_ENV} FWSTACK_ASSETS=${ASSETS}
                   python3 ${CMAKE_SOURCE_DIR}/tests/support/update_server.py
                   --root ${CMAKE_BINARY_DIR}/served --
                   ${WINE_RUN} $<TARGET_FILE:win_tests>)
  set_tests_properties(windows.win_tests PROPERTIES FIXTURES_REQUIRED assets)
endif()

# The release tool's verify and publish against signed program variants; the tool is the
# native tree's build (tools/build.sh builds it first).
set(FWSTACK_PUBLISH_TOOL ${CMAKE_SOURCE_DIR}/build/native/fwstack-publish
    CACHE FILEPATH "The native fwstack-publish that the release tool tests run")
# End to end: the real program under Wine, over HTTPS.
set(E2E_ENVIRONMENT "${WINE_ENV};FWSTACK_ASSETS=${ASSETS};FWSTACK_VARIANTS=${VARIANTS};FWSTACK_E2E_PORT=${FWSTACK_E2E_PORT};FWSTACK_CRL_PORT=${FWSTACK_CRL_PORT};FWSTACK_EXE=$<TARGET_FILE:fwstack>;FWSTACK_LAUNCH=$<TARGET_FILE:launch>;FWSTACK_HOLD_FILE=$<TARGET_FILE:hold_file>;FWSTACK_WINE_RUN=${WINE_RUN};FWSTACK_SOURCE=${CMAKE_SOURCE_DIR};FWSTACK_BUILD=${CMAKE_BINARY_DIR};FWSTACK_PLANTED=${PLANTED};FWSTACK_STATIC_IMPORTER=$<TARGET_FILE:static_importer>;FWSTACK_CRASH_RUNNER=$<TARGET_FILE:crash_runner>;FWSTACK_PUBLISH_TOOL=${FWSTACK_PUBLISH_TOOL}")
file(GLOB E2E_TESTS CONFIGURE_DEPENDS tests/e2e/test_*.py)
foreach(test_file ${E2E_TESTS})
  get_filename_component(name ${test_file} NAME_WE)
  add_test(NAME e2e.${name} COMMAND python3 ${test_file})
  set_tests_properties(e2e.${name} PROPERTIES FIXTURES_REQUIRED assets RESOURCE_LOCK e2e_port
      ENVIRONMENT "${E2E_ENVIRONMENT}")
endforeach()
# The sample sites of deploy/ beside nginx's, each under its own server.
foreach(server apache caddy)
  add_test(NAME e2e.server_sample_${server}
           COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/e2e/server_samples.py ${server})
  set_tests_properties(e2e.server_sample_${server} PROPERTIES FIXTURES_REQUIRED assets
      RESOURCE_LOCK e2e_port ENVIRONMENT "${E2E_ENVIRONMENT}")
endforeach()

# The product itself: imports, version resource, reproducible bytes; the
# library's needs; the DLL's imports, exports and signed size.
add_test(NAME build.product COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/build/check_product.py
         $<TARGET_FILE:fwstack> ${FWSTACK_VERSION} $<TARGET_FILE:fwstack_update>
         $<TARGET_FILE:fwstack_update_dll> ${CMAKE_SOURCE_DIR}/api/fwstack_update.h)
add_test(NAME build.reproducible COMMAND bash ${CMAKE_SOURCE_DIR}/tests/build/reproducible.sh
         ${CMAKE_SOURCE_DIR} $<TARGET_FILE:fwstack> ${FWSTACK_VERSION} ${FWSTACK_UPDATE_SERVER})

add_test(NAME tools.verify_release
         COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/tools/verify_release.py
                 ${FWSTACK_PUBLISH_TOOL} $<TARGET_FILE:variant_0.0.3>
                 $<TARGET_FILE:variant_0.0.3-noversion> $<TARGET_FILE:variant_0.0.1>
                 $<TARGET_FILE:variant_0.0.4> $<TARGET_FILE:variant_0.0.3-beta.1>)
set_tests_properties(tools.verify_release PROPERTIES FIXTURES_REQUIRED assets
    RESOURCE_LOCK e2e_port
    ENVIRONMENT "FWSTACK_ASSETS=${ASSETS};FWSTACK_CRL_PORT=${FWSTACK_CRL_PORT}")

# The example programs, each built by its own CMake project against this
# tree's installed package, published and updated end to end; registered
# when the tree provides the package's build function.
if(COMMAND fwstack_update_program)
# Go (Debian's golang-go) builds the Go example; without it that test is left out.
find_program(FWSTACK_GO go)
# msvc: a C program without C runtime built by clang-cl and lld-link in
# MSVC mode against the package's fwstack_update.lib.
set(example_languages c cpp rust msvc c_by_name)
if(FWSTACK_GO)
  list(APPEND example_languages go)
  # The binding's records against the header's layout, natively.
  add_test(NAME bindings.go COMMAND ${CMAKE_COMMAND} -E env GOPROXY=off GOFLAGS=-mod=mod
           GOCACHE=${CMAKE_BINARY_DIR}/examples/go-cache ${FWSTACK_GO} test ./...
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/bindings/go)
endif()
foreach(language ${example_languages})
  add_test(NAME examples.${language}
           COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/examples/example_update.py ${language})
  set_tests_properties(examples.${language} PROPERTIES FIXTURES_REQUIRED assets
      RESOURCE_LOCK e2e_port TIMEOUT 1200
      ENVIRONMENT "${E2E_ENVIRONMENT};FWSTACK_DLL_VARIANT=$<TARGET_FILE:update_dll_0.0.3>")
endforeach()
# The C example built with the publisher's own key: signed documents, their
# expiry, another key, and a release without Authenticode.
add_test(NAME examples.keyed
         COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/examples/keyed_update.py)
set_tests_properties(examples.keyed PROPERTIES FIXTURES_REQUIRED assets
    RESOURCE_LOCK e2e_port TIMEOUT 1200 ENVIRONMENT "${E2E_ENVIRONMENT}")
# The window program, on a virtual X display (Xvfb), with a screenshot mid-download.
add_test(NAME examples.gui COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/examples/gui_update.py)
set_tests_properties(examples.gui PROPERTIES FIXTURES_REQUIRED assets
    RESOURCE_LOCK e2e_port TIMEOUT 1200 ENVIRONMENT "${E2E_ENVIRONMENT}")
# A program of one's own from the installed SDK alone, outside the checkout,
# by the CMake helper and by hand.
add_test(NAME examples.host_outside
         COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/examples/host_outside.py)
set_tests_properties(examples.host_outside PROPERTIES FIXTURES_REQUIRED assets
    RESOURCE_LOCK e2e_port TIMEOUT 1200 ENVIRONMENT "${E2E_ENVIRONMENT}")
# The configure-time checks of the CMake helper, from the installed package.
add_test(NAME build.host_program_config
         COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/build/host_program_config.py)
set_tests_properties(build.host_program_config PROPERTIES FIXTURES_REQUIRED assets TIMEOUT 900
    ENVIRONMENT "FWSTACK_BUILD=${CMAKE_BINARY_DIR};FWSTACK_ASSETS=${ASSETS};FWSTACK_PUBLISH_TOOL=${FWSTACK_PUBLISH_TOOL}")
endif()
