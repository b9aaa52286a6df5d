# find_package(fwstack_update CONFIG): the imported targets fwstack::update (the
# static library) and fwstack::update_dll (fwstack_update.dll), and
# fwstack_update_program(), which gives a host its identity header, version
# resource, identity file and signature.
include(${CMAKE_CURRENT_LIST_DIR}/fwstack_update-targets.cmake)
get_filename_component(FWSTACK_UPDATE_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
# A project built by MSVC or clang-cl links the same archive by its .lib
# name, with the Windows SDK's kernel32.lib; MinGW's GCC or clang keep
# libfwstack_update.a and -lkernel32.
if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  get_target_property(_fwstack_location fwstack::update IMPORTED_LOCATION_RELEASE)
  if(NOT _fwstack_location)
    get_target_property(_fwstack_location fwstack::update IMPORTED_LOCATION_NOCONFIG)
  endif()
  get_filename_component(_fwstack_folder "${_fwstack_location}" DIRECTORY)
  foreach(config RELEASE NOCONFIG)
    set_property(TARGET fwstack::update PROPERTY IMPORTED_LOCATION_${config}
                 "${_fwstack_folder}/fwstack_update.lib")
  endforeach()
endif()
# The version resource, the toolchain file and the Wine runner, installed
# with the package.
set(FWSTACK_UPDATE_SHARE_DIR ${FWSTACK_UPDATE_PREFIX}/share/fwstack_update)
set(FWSTACK_UPDATE_RC ${FWSTACK_UPDATE_SHARE_DIR}/fwstack_program.rc)
include(${CMAKE_CURRENT_LIST_DIR}/fwstack_update_program.cmake)
