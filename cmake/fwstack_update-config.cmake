# find_package(fwstack_update CONFIG): the imported targets fwstack::update (the
# static library) and fwstack::update_dll (fwstack_update.dll), and
# fwstack_update_program(), which gives a host its identity header, version
# resource, identity file and signature.
include(${CMAKE_CURRENT_LIST_DIR}/fwstack_update-targets.cmake)
get_filename_component(FWSTACK_UPDATE_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
# The version resource, the toolchain file and the Wine runner, installed
# with the package.
set(FWSTACK_UPDATE_SHARE_DIR ${FWSTACK_UPDATE_PREFIX}/share/fwstack_update)
set(FWSTACK_UPDATE_RC ${FWSTACK_UPDATE_SHARE_DIR}/fwstack_program.rc)
include(${CMAKE_CURRENT_LIST_DIR}/fwstack_update_program.cmake)
