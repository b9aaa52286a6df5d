# find_package(fwstack_update CONFIG): the imported target fwstack::update and
# fwstack_update_program(), which gives a host its version resource and signature.
include(${CMAKE_CURRENT_LIST_DIR}/fwstack_update-targets.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/fwstack_update_program.cmake)
