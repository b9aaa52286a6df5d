# fwstack_update.dll: the engine as a DLL for hosts that bind at run time (Go
# without cgo, C# or Python, C by name) or link an import library. Built as
# fwstack.exe is: no C runtime, -Oz, optimised as a whole at its link, kernel32
# its one import; it exports the functions of api/fwstack_update.h alone.

# The engine without fwstack's entry, console and command line, compiled once
# for every DLL of this tree.
set(DLL_ENGINE_SOURCES ${CORE_SOURCES} ${WIN32_SOURCES})
list(FILTER DLL_ENGINE_SOURCES EXCLUDE REGEX "/app/")
add_library(fwstack_dll_objects OBJECT ${DLL_ENGINE_SOURCES})
target_include_directories(fwstack_dll_objects PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(fwstack_dll_objects PRIVATE ${WARNINGS} ${FREESTANDING}
                       ${PRODUCT_OPTIMIZATION} ${PROGRAM_LTO})
target_compile_definitions(fwstack_dll_objects PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN
                           FWSTACK_ENGINE_ONLY FWSTACK_DLL_BUILD)
set_target_properties(fwstack_dll_objects PROPERTIES CXX_COMPILER_LAUNCHER ${BYTE_ALIGNED_FUNCTIONS})

find_program(FWSTACK_DLLTOOL NAMES llvm-dlltool x86_64-w64-mingw32-dlltool REQUIRED)

# fwstack_update_dll(<target> <version>): fwstack_update.dll of that version
# (its version resource), with its MinGW import library beside it.
function(fwstack_update_dll target version)
  fwstack_check_settings("${version}" "${FWSTACK_UPDATE_SERVER}")
  set(FWSTACK_RC_VERSION "${version}")
  set(FWSTACK_RC_FILE_VERSION "${FWSTACK_FILE_VERSION}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/dll/fwstack_update_dll.rc.in ${rc} @ONLY)
  add_library(${target} SHARED ${CMAKE_SOURCE_DIR}/dll/dll_main_win32.cpp
              ${CMAKE_SOURCE_DIR}/app/runtime_support_win32.cpp
              ${CMAKE_SOURCE_DIR}/dll/fwstack_update.def ${rc}
              $<TARGET_OBJECTS:fwstack_dll_objects>)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME fwstack_update PREFIX ""
                        CXX_COMPILER_LAUNCHER ${BYTE_ALIGNED_FUNCTIONS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:${WARNINGS} ${FREESTANDING} ${PRODUCT_OPTIMIZATION} ${PROGRAM_LTO}>)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN FWSTACK_ENGINE_ONLY)
  # The engine's own deployment values are unused here but resolve the
  # settings code's reference to them.
  fwstack_deployment(${target} "${version}" "${FWSTACK_UPDATE_SERVER}")
  target_link_options(${target} PRIVATE ${FREESTANDING} ${PRODUCT_OPTIMIZATION} -flto
      -flto-partition=one -fwhole-program -fno-function-sections -nostdlib -Wl,--entry,DllEntry
      -Wl,--gc-sections -Wl,--no-insert-timestamp -s -Wl,-Map=$<TARGET_FILE:${target}>.map
      -Wl,-T,${CMAKE_SOURCE_DIR}/dll/fwstack_update_dll.ld)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
               ${CMAKE_SOURCE_DIR}/dll/fwstack_update_dll.ld ${CMAKE_SOURCE_DIR}/dll/fwstack_update.def)
  target_link_libraries(${target} PRIVATE kernel32 gcc)
  add_dependencies(${target} fwstack_dll_objects)
  # The export directory entry, then headers in 512 file bytes; before signing.
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND python3 ${CMAKE_SOURCE_DIR}/dll/export_directory.py $<TARGET_FILE:${target}>
      COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/drop_dos_stub.py $<TARGET_FILE:${target}>
      VERBATIM)
endfunction()

set(CMAKE_CXX_STANDARD_LIBRARIES "")
fwstack_update_dll(fwstack_update_dll "${FWSTACK_VERSION}")
fwstack_sign(fwstack_update_dll)
add_library(fwstack::update_dll ALIAS fwstack_update_dll)
# A host that links the import library declares the functions for import.
target_include_directories(fwstack_update_dll
    INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/api> $<INSTALL_INTERFACE:include>)
target_compile_definitions(fwstack_update_dll INTERFACE FWSTACK_UPDATE_DLL)
set_target_properties(fwstack_update_dll PROPERTIES EXPORT_NAME update_dll)

# The import library for Microsoft's linker (link.exe, lld-link), from the
# same export list.
set(FWSTACK_DLL_MSVC_LIB ${CMAKE_BINARY_DIR}/fwstack_update_dll.lib)
add_custom_command(OUTPUT ${FWSTACK_DLL_MSVC_LIB}
    COMMAND ${FWSTACK_DLLTOOL} -m i386:x86-64 -d ${CMAKE_SOURCE_DIR}/dll/fwstack_update.def
            -D fwstack_update.dll -l ${FWSTACK_DLL_MSVC_LIB}
    DEPENDS ${CMAKE_SOURCE_DIR}/dll/fwstack_update.def VERBATIM)
add_custom_target(fwstack_update_dll_msvc_lib ALL DEPENDS ${FWSTACK_DLL_MSVC_LIB})

install(TARGETS fwstack_update_dll EXPORT fwstack_update
        RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${FWSTACK_DLL_MSVC_LIB} DESTINATION lib)
# The Go package that loads the DLL without cgo.
install(DIRECTORY bindings/go/ DESTINATION share/fwstack_update/go)
