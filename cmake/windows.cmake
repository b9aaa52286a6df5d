# The Windows build: fwstack.exe without C runtime, its test variants, and
# the Windows tests that CTest runs under Wine.
enable_language(RC)

# The entry point and the memory functions belong to the program alone.
set(PROGRAM_SOURCES ${CMAKE_SOURCE_DIR}/app/main_win32.cpp
    ${CMAKE_SOURCE_DIR}/app/runtime_support_win32.cpp ${CMAKE_SOURCE_DIR}/app/no_key_check_win32.cpp)
list(REMOVE_ITEM WIN32_SOURCES ${PROGRAM_SOURCES})

# NOTE: no -fdata-sections: MinGW's GCC then puts zero-filled variables in
# .data$ sections, which take file bytes, where without it they go to .bss.
# -malign-data=abi: no padding of tables to 32 bytes for vector loads.
# -mcmodel=small: every symbol is within the image and reached directly, not
# through a pointer the loader would relocate (the program imports no data).
# -mincoming-stack-boundary=4: the x64 calling convention keeps the stack
# 16-byte aligned at every call, the entry point's included; without it GCC
# realigns the stack in every function that keeps a 16-byte value there.
set(FREESTANDING -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -fno-tree-loop-distribute-patterns -fno-strict-aliasing
    -ffunction-sections -malign-data=abi -mcmodel=small -mincoming-stack-boundary=4)
# The program imports kernel32 alone and loads the others when it needs them;
# test programs link them all.
set(SYSTEM_LIBS kernel32 user32 winhttp wintrust crypt32 version bcrypt)
set(PRODUCT_OPTIMIZATION -Oz)
# The program is optimised as a whole at its link (link-time optimisation):
# a function called once goes into its caller, and what a caller never asks
# of a callee is left out (about 2,300 bytes of code fewer than object by
# object). The objects also keep their ordinary code for the test programs,
# which link them without it.
set(PROGRAM_LTO -flto -ffat-lto-objects)
# The hash, where the time goes, for speed; alignment padding of jumps,
# labels and loops bought nothing there (measured).
set(HASH_OPTIMIZATION -O2 -falign-jumps=1 -falign-labels=1 -falign-loops=1)
# bench/run.sh compiles the hash natively with the same flags, in the order
# of the compile line (the hash's after the program's).
list(JOIN FREESTANDING " " freestanding_text)
list(JOIN HASH_OPTIMIZATION " " hash_text)
list(JOIN PRODUCT_OPTIMIZATION " " product_text)
file(WRITE ${CMAKE_BINARY_DIR}/compile-flags.txt
     "product ${freestanding_text} ${product_text}\nhash ${freestanding_text} ${product_text} ${hash_text}\n")

# Everything of the program but its deployment values, entry and resources,
# compiled once; the product and the Windows tests take what they call.
add_library(fwstack_objects STATIC ${CORE_SOURCES} ${WIN32_SOURCES})
target_include_directories(fwstack_objects PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(fwstack_objects PRIVATE ${WARNINGS} ${FREESTANDING} ${PRODUCT_OPTIMIZATION}
                       ${PROGRAM_LTO})
# The program is built for size; the hash for speed, and compiled alone (not
# at the link, where the program's -Oz would apply to it).
set_source_files_properties(${CMAKE_SOURCE_DIR}/verify/sha256_compress.cpp TARGET_DIRECTORY fwstack_objects
                            PROPERTIES COMPILE_OPTIONS "${HASH_OPTIMIZATION};-fno-lto")
target_compile_definitions(fwstack_objects PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
# Functions byte-aligned, not padded to 16 bytes each (the script says why).
set(BYTE_ALIGNED_FUNCTIONS ${CMAKE_SOURCE_DIR}/cmake/byte-aligned-functions.sh)
set_target_properties(fwstack_objects PROPERTIES CXX_COMPILER_LAUNCHER ${BYTE_ALIGNED_FUNCTIONS})

# fwstack_program(<target> <output name> <version> <server> [NO_VERSION_RESOURCE])
function(fwstack_program target output version server)
  fwstack_check_settings("${version}" "${server}")
  set(FWSTACK_RC_VERSION "${version}")
  set(FWSTACK_RC_FILE_VERSION "${FWSTACK_FILE_VERSION}")
  set(FWSTACK_RC_ICON "${CMAKE_SOURCE_DIR}/app/fwstack.ico")
  set(FWSTACK_RC_MANIFEST "${CMAKE_SOURCE_DIR}/app/fwstack.manifest")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/app/fwstack.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${FWSTACK_RC_ICON};${FWSTACK_RC_MANIFEST}")
  set(sources ${PROGRAM_SOURCES})
  if(NOT "NO_VERSION_RESOURCE" IN_LIST ARGN)
    list(APPEND sources ${rc})
  endif()
  add_executable(${target} ${sources})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output} SUFFIX ".exe"
                        CXX_COMPILER_LAUNCHER ${BYTE_ALIGNED_FUNCTIONS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:${WARNINGS} ${FREESTANDING} ${PRODUCT_OPTIMIZATION} ${PROGRAM_LTO}>)
  fwstack_deployment(${target} "${version}" "${server}")
  # The map shows what each object contributes to each section (bench/run.sh).
  # NOTE: the program holds no absolute addresses (tables of texts are packed
  # strings), so ld writes no .reloc section; DYNAMIC_BASE stays set and
  # Windows may map the image at any base with nothing to fix. Wine maps it at
  # its preferred base, so only the absence of relocations is shown here. A
  # table of pointers brings the section (512 bytes) back.
  # NOTE: the code made at the link goes into one section: per-function
  # sections would each be aligned to 16 bytes by the assembler again (see
  # byte-aligned-functions.sh), and the optimiser leaves out what is not
  # called itself.
  target_link_options(${target} PRIVATE ${FREESTANDING} ${PRODUCT_OPTIMIZATION} -flto -flto-partition=one
      -fno-function-sections -nostdlib -e EntryPoint -Wl,--subsystem,console
      -Wl,--gc-sections -Wl,--no-insert-timestamp -s -Wl,-Map=$<TARGET_FILE:${target}>.map
      -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/fwstack.ld)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/fwstack.ld)
  # NOTE: the objects themselves, not their archive: MinGW's ld (2.40) crashes
  # taking code for the link-time optimiser out of an archive.
  # The program sets no publisher key: its own null check (in PROGRAM_SOURCES)
  # stands for the library's, which would bring the signature code.
  target_sources(${target} PRIVATE
      $<FILTER:$<TARGET_OBJECTS:fwstack_objects>,EXCLUDE,publisher_key_check>)
  target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:fwstack_objects,INTERFACE_INCLUDE_DIRECTORIES>)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
  add_dependencies(${target} fwstack_objects)
  target_link_libraries(${target} PRIVATE kernel32 gcc)
  # Headers in 512 file bytes, not 1024 (the script says how); before signing.
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/drop_dos_stub.py $<TARGET_FILE:${target}>
      VERBATIM)
endfunction()

# The product.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
fwstack_program(fwstack fwstack "${FWSTACK_VERSION}" "${FWSTACK_UPDATE_SERVER}")
include(cmake/signing.cmake)
fwstack_sign(fwstack)
include(cmake/library.cmake)

# The trust helper of a Wine trial: puts a test root into the prefix's
# LocalMachine Root store. Part of the SDK, and the tests use it too.
add_executable(install_ca tools/install_ca.cpp)
target_link_libraries(install_ca PRIVATE crypt32)
target_link_options(install_ca PRIVATE -static -municode)
target_compile_definitions(install_ca PRIVATE UNICODE _UNICODE)
target_compile_options(install_ca PRIVATE ${WARNINGS})
install(TARGETS install_ca RUNTIME DESTINATION bin)
# The SDK for Windows alone: what the package installs, no tests.
add_custom_target(sdk DEPENDS fwstack_update install_ca)

if(FWSTACK_TESTS)
  include(cmake/windows_tests.cmake)
endif()
