# fwstack_update_program(<target> VERSION <X.Y.Z> PRODUCT <name> PUBLISHER <name>
#     [DESCRIPTION <text>] [ICON <file.ico>]
#     [SIGN_PKCS12 <file> | SIGN_CERTS <chain.pem> SIGN_KEY <key.pem or pkcs11: URI>
#      [SIGN_PKCS11_MODULE <module.so>]] [SIGN_PASSWORD_FILE <file>] [SIGN_TIMESTAMP <url>])
#
# Gives a program that links fwstack::update what the engine checks in each
# release: a version resource (language 0x0409, code page 0x04B0, file
# version X.Y.Z.0, the product name, the original file name) and, with signing
# arguments, an Authenticode signature made after linking (the linked file is
# kept as <name>-unsigned.exe). PUBLISHER must be the common name of the
# signing certificate, the publisher the host's settings name. A password or
# PIN is only ever read from SIGN_PASSWORD_FILE.
enable_language(RC)
set(FWSTACK_UPDATE_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/fwstack_pkcs11.cmake)

function(fwstack_update_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg ""
      "VERSION;PRODUCT;PUBLISHER;DESCRIPTION;ICON;SIGN_PKCS12;SIGN_CERTS;SIGN_KEY;SIGN_PKCS11_MODULE;SIGN_PASSWORD_FILE;SIGN_TIMESTAMP"
      "")
  if(NOT arg_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "fwstack_update_program(${target}): VERSION '${arg_VERSION}' is not X.Y.Z")
  endif()
  set(HOST_FILE_VERSION "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")
  foreach(field PRODUCT PUBLISHER)
    if(NOT arg_${field} MATCHES "^[ -~]+$" OR arg_${field} MATCHES "\"")
      message(FATAL_ERROR "fwstack_update_program(${target}): ${field} must be printable ASCII")
    endif()
  endforeach()
  set(HOST_VERSION "${arg_VERSION}")
  set(HOST_PRODUCT "${arg_PRODUCT}")
  set(HOST_PUBLISHER "${arg_PUBLISHER}")
  set(HOST_DESCRIPTION "${arg_PRODUCT}")
  if(arg_DESCRIPTION)
    set(HOST_DESCRIPTION "${arg_DESCRIPTION}")
  endif()
  get_target_property(output ${target} OUTPUT_NAME)
  if(NOT output)
    set(output ${target})
  endif()
  set(HOST_FILE_NAME "${output}.exe")
  set(HOST_ICON_LINE "")
  if(arg_ICON)
    get_filename_component(icon "${arg_ICON}" ABSOLUTE)
    set(HOST_ICON_LINE "1 ICON \"${icon}\"")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${FWSTACK_UPDATE_CMAKE_DIR}/host-version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})

  set(credentials)
  set(key_uri)
  if(arg_SIGN_PKCS12)
    set(credentials -pkcs12 ${arg_SIGN_PKCS12})
  elseif(arg_SIGN_PKCS11_MODULE OR arg_SIGN_KEY MATCHES "^pkcs11:")
    if(NOT arg_SIGN_PKCS11_MODULE OR NOT arg_SIGN_CERTS OR NOT arg_SIGN_KEY MATCHES "^pkcs11:")
      message(FATAL_ERROR "fwstack_update_program(${target}): a key in a PKCS#11 token needs "
                          "SIGN_PKCS11_MODULE, SIGN_KEY (its pkcs11: URI) and SIGN_CERTS")
    endif()
    fwstack_find_pkcs11_engine()
    set(pin_file)
    if(arg_SIGN_PASSWORD_FILE)
      get_filename_component(pin_file "${arg_SIGN_PASSWORD_FILE}" ABSOLUTE)
    endif()
    get_filename_component(module "${arg_SIGN_PKCS11_MODULE}" ABSOLUTE)
    fwstack_check_pkcs11_key("${module}" "${arg_SIGN_KEY}" "${pin_file}")
    set(credentials -pkcs11engine ${FWSTACK_SIGN_PKCS11_ENGINE}
        -pkcs11module ${arg_SIGN_PKCS11_MODULE} -certs ${arg_SIGN_CERTS})
    string(REPLACE ";" "<semicolon>" key_uri "${arg_SIGN_KEY}")
  elseif(arg_SIGN_CERTS OR arg_SIGN_KEY)
    if(NOT arg_SIGN_CERTS OR NOT arg_SIGN_KEY)
      message(FATAL_ERROR "fwstack_update_program(${target}): SIGN_CERTS and SIGN_KEY go together")
    endif()
    set(credentials -certs ${arg_SIGN_CERTS} -key ${arg_SIGN_KEY})
  endif()
  if(NOT credentials)
    return()
  endif()
  if(arg_SIGN_PASSWORD_FILE)
    list(APPEND credentials -readpass ${arg_SIGN_PASSWORD_FILE})
  endif()
  if(arg_SIGN_TIMESTAMP)
    list(APPEND credentials -ts ${arg_SIGN_TIMESTAMP})
  endif()
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "signing needs osslsigncode (Debian package osslsigncode)")
  endif()
  string(REPLACE ";" "|" credentials "${credentials}")
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${OSSLSIGNCODE} -DPROGRAM=$<TARGET_FILE:${target}>
              "-DCREDENTIALS=${credentials}" "-DKEY_URI=${key_uri}"
              "-DDESCRIPTION=${HOST_DESCRIPTION}" -P ${FWSTACK_UPDATE_CMAKE_DIR}/sign.cmake
      VERBATIM)
endfunction()
