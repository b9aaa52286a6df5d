# The native Linux build: the portable core with sanitizers, its unit tests,
# and the publishing tool.

set(SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_library(fwstack_core STATIC ${CORE_SOURCES})
target_include_directories(fwstack_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(fwstack_core PRIVATE ${WARNINGS})

# The release tool uses the same core, without sanitizers, libcurl for its
# check of a live server and for CRLs, and OpenSSL's libcrypto for revocation.
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
file(GLOB RELEASE_TOOL_SOURCES CONFIGURE_DEPENDS tools/publish/*.cpp)
add_executable(fwstack-publish ${RELEASE_TOOL_SOURCES})
target_link_libraries(fwstack-publish PRIVATE fwstack_core CURL::libcurl OpenSSL::Crypto)
target_compile_options(fwstack-publish PRIVATE ${WARNINGS})
fwstack_deployment(fwstack-publish "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")
install(TARGETS fwstack-publish RUNTIME DESTINATION bin)
# The SDK's part for the publishing machine: the release tool, no tests.
add_custom_target(sdk DEPENDS fwstack-publish)

if(FWSTACK_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_library(fwstack_core_checked STATIC ${CORE_SOURCES})
  target_include_directories(fwstack_core_checked PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(fwstack_core_checked PRIVATE ${WARNINGS} ${SANITIZERS})
  target_link_options(fwstack_core_checked PUBLIC ${SANITIZERS})

  # The engine, the steps and the commands natively, on a fake of the system
  # layer behind the same headers.
  file(GLOB FAKE_PLATFORM_SOURCES CONFIGURE_DEPENDS tests/native/*.cpp)
  add_executable(core_tests ${UNIT_TEST_SOURCES} ${FAKE_PLATFORM_SOURCES})
  target_link_libraries(core_tests PRIVATE fwstack_core_checked GTest::gtest_main)
  target_compile_options(core_tests PRIVATE ${SANITIZERS})
  fwstack_deployment(core_tests "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")
  target_compile_definitions(core_tests PRIVATE FWSTACK_TEST_SERVER="${FWSTACK_UPDATE_SERVER}")
  gtest_discover_tests(core_tests PROPERTIES ENVIRONMENT "FWSTACK_NATIVE=1")

  # The public header compiles alone, warning-free, as C99 and as C++.
  set(HEADER_FLAGS "-Wall -Wextra -Wpedantic -Werror -I${CMAKE_SOURCE_DIR}/api -c -o /dev/null")
  add_test(NAME build.public_header COMMAND sh -c
      "cc -std=c99 ${HEADER_FLAGS} $0 && c++ -std=c++11 -x c++ ${HEADER_FLAGS} $0"
      ${CMAKE_SOURCE_DIR}/tests/build/public_header.c)

  file(GLOB NATIVE_TOOL_TESTS CONFIGURE_DEPENDS tests/tools/*_test.py)
  foreach(test_file ${NATIVE_TOOL_TESTS})
    get_filename_component(name ${test_file} NAME_WE)
    add_test(NAME tools.${name} COMMAND python3 ${test_file} $<TARGET_FILE:fwstack-publish>)
  endforeach()
endif()

# libFuzzer targets for every parser of outside bytes; clang only, off by default.
option(FWSTACK_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(FWSTACK_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  set(FUZZ_SOURCES_update_info base/bytes.cpp base/hex.cpp info/update_info.cpp info/update_url.cpp
      info/version.cpp info/signed_tail.cpp)
  set(FUZZ_SOURCES_pe_scan base/arena.cpp base/bytes.cpp verify/pe_scan.cpp)
  set(FUZZ_SOURCES_command_line app/command_line.cpp)
  set(FUZZ_SOURCES_report base/bytes.cpp engine/report.cpp)
  foreach(target update_info pe_scan command_line report)
    add_executable(fuzz_${target} tests/fuzz/fuzz_${target}.cpp ${FUZZ_SOURCES_${target}})
    target_include_directories(fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(fuzz_${target} PRIVATE ${WARNINGS} ${FUZZ_FLAGS})
    fwstack_deployment(fuzz_${target} "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")
    target_link_options(fuzz_${target} PRIVATE ${FUZZ_FLAGS})
  endforeach()
endif()
