# Authenticode signing of the product after linking, when a signing
# certificate is given; without one the build stays unsigned.
set(FWSTACK_SIGN_CERTS "" CACHE FILEPATH
    "PEM file with the code-signing certificate and its chain (with FWSTACK_SIGN_KEY)")
set(FWSTACK_SIGN_KEY "" CACHE FILEPATH "PEM file with the code-signing private key")
set(FWSTACK_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the certificate, its chain and the key (instead of the two PEM files)")
set(FWSTACK_SIGN_PASSWORD_FILE "" CACHE FILEPATH
    "File whose first line is the password of the PKCS#12 file or of the key")
set(FWSTACK_SIGN_TIMESTAMP "" CACHE STRING "RFC 3161 timestamp server address (optional)")

set(FWSTACK_SIGNING OFF)
set(sign_credentials)
function(fwstack_signing_file variable)
  get_filename_component(path "${${variable}}" ABSOLUTE)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "${variable} '${${variable}}' is not a file; give its absolute path")
  endif()
  set(${variable}_PATH "${path}" PARENT_SCOPE)
endfunction()

if(FWSTACK_SIGN_PKCS12 AND (FWSTACK_SIGN_CERTS OR FWSTACK_SIGN_KEY))
  message(FATAL_ERROR "give either FWSTACK_SIGN_PKCS12 or FWSTACK_SIGN_CERTS with "
                      "FWSTACK_SIGN_KEY, not both")
elseif(FWSTACK_SIGN_PKCS12)
  fwstack_signing_file(FWSTACK_SIGN_PKCS12)
  set(sign_credentials -pkcs12 ${FWSTACK_SIGN_PKCS12_PATH})
elseif(FWSTACK_SIGN_CERTS OR FWSTACK_SIGN_KEY)
  if(NOT FWSTACK_SIGN_CERTS OR NOT FWSTACK_SIGN_KEY)
    message(FATAL_ERROR "FWSTACK_SIGN_CERTS and FWSTACK_SIGN_KEY go together: give both")
  endif()
  fwstack_signing_file(FWSTACK_SIGN_CERTS)
  fwstack_signing_file(FWSTACK_SIGN_KEY)
  set(sign_credentials -certs ${FWSTACK_SIGN_CERTS_PATH} -key ${FWSTACK_SIGN_KEY_PATH})
endif()

if(sign_credentials)
  set(FWSTACK_SIGNING ON)
  # The password comes from a file, never from the command line, where other
  # users of the machine could read it.
  if(FWSTACK_SIGN_PASSWORD_FILE)
    fwstack_signing_file(FWSTACK_SIGN_PASSWORD_FILE)
    list(APPEND sign_credentials -readpass ${FWSTACK_SIGN_PASSWORD_FILE_PATH})
  endif()
  if(FWSTACK_SIGN_TIMESTAMP)
    if(NOT FWSTACK_SIGN_TIMESTAMP MATCHES "^https?://[^ ]+$")
      message(FATAL_ERROR "FWSTACK_SIGN_TIMESTAMP '${FWSTACK_SIGN_TIMESTAMP}' is not an "
                          "http:// or https:// address")
    endif()
    list(APPEND sign_credentials -ts ${FWSTACK_SIGN_TIMESTAMP})
  endif()
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "signing needs osslsigncode (Debian package osslsigncode)")
  endif()
elseif(FWSTACK_SIGN_PASSWORD_FILE OR FWSTACK_SIGN_TIMESTAMP)
  message(FATAL_ERROR "FWSTACK_SIGN_PASSWORD_FILE and FWSTACK_SIGN_TIMESTAMP need a signing "
                      "certificate: FWSTACK_SIGN_PKCS12, or FWSTACK_SIGN_CERTS with FWSTACK_SIGN_KEY")
endif()

# fwstack_sign(<target>): after linking, the target's file is kept as
# <name>-unsigned.exe and replaced by its signed copy.
function(fwstack_sign target)
  if(NOT FWSTACK_SIGNING)
    return()
  endif()
  string(REPLACE ";" "|" credentials "${sign_credentials}")
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${OSSLSIGNCODE} -DPROGRAM=$<TARGET_FILE:${target}>
              "-DCREDENTIALS=${credentials}" -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
      VERBATIM)
endfunction()
