# Authenticode signing of the product after linking, when a signing
# certificate is given; without one the build stays unsigned. The key is a PEM
# file, part of a PKCS#12 file, or a key in a PKCS#11 token (a USB token, an
# HSM, a cloud KMS) reached through the vendor's module and OpenSSL's pkcs11
# engine; configuring finds the token and the key with p11tool, or says which
# of the module, the token, the key or the PIN is wrong.
set(FWSTACK_SIGN_CERTS "" CACHE FILEPATH
    "PEM file with the code-signing certificate and its chain (with FWSTACK_SIGN_KEY)")
# A STRING, not a FILEPATH: CMake would make a pkcs11: URI given with -D into a path.
set(FWSTACK_SIGN_KEY "" CACHE STRING
    "PEM file with the code-signing private key, or the key's pkcs11: URI (RFC 7512, no PIN)")
set(FWSTACK_SIGN_PKCS11_MODULE "" CACHE FILEPATH
    "PKCS#11 module of the token that holds FWSTACK_SIGN_KEY (e.g. libsofthsm2.so)")
set(FWSTACK_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file with the certificate, its chain and the key (instead of the two PEM files)")
set(FWSTACK_SIGN_PASSWORD_FILE "" CACHE FILEPATH
    "File whose first line is the password of the PKCS#12 file or of the key, or the token's PIN")
set(FWSTACK_SIGN_TIMESTAMP "" CACHE STRING "RFC 3161 timestamp server address (optional)")

include(${CMAKE_CURRENT_LIST_DIR}/fwstack_update_program.cmake)
set(FWSTACK_SIGNING OFF)
set(sign_credentials)
set(sign_key_uri)
function(fwstack_signing_file variable)
  get_filename_component(path "${${variable}}" ABSOLUTE)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "${variable} '${${variable}}' is not a file; give its absolute path")
  endif()
  set(${variable}_PATH "${path}" PARENT_SCOPE)
endfunction()

if(FWSTACK_SIGN_PKCS12 AND (FWSTACK_SIGN_CERTS OR FWSTACK_SIGN_KEY OR FWSTACK_SIGN_PKCS11_MODULE))
  message(FATAL_ERROR "give either FWSTACK_SIGN_PKCS12 or FWSTACK_SIGN_CERTS with "
                      "FWSTACK_SIGN_KEY (and FWSTACK_SIGN_PKCS11_MODULE for a token), not both")
elseif(FWSTACK_SIGN_PKCS12)
  fwstack_signing_file(FWSTACK_SIGN_PKCS12)
  set(sign_credentials -pkcs12 ${FWSTACK_SIGN_PKCS12_PATH})
elseif(FWSTACK_SIGN_PKCS11_MODULE OR FWSTACK_SIGN_KEY MATCHES "^pkcs11:")
  if(NOT FWSTACK_SIGN_PKCS11_MODULE OR NOT FWSTACK_SIGN_CERTS)
    message(FATAL_ERROR "a key in a PKCS#11 token needs FWSTACK_SIGN_PKCS11_MODULE, "
                        "FWSTACK_SIGN_KEY (its pkcs11: URI) and FWSTACK_SIGN_CERTS: give all three")
  endif()
  # The PIN comes only from FWSTACK_SIGN_PASSWORD_FILE, so it is in no
  # command line, cache entry or build file.
  if(NOT FWSTACK_SIGN_KEY MATCHES "^pkcs11:[^ ]*(object|id)=[^ ]+$" OR
     FWSTACK_SIGN_KEY MATCHES "pin-(value|source)")
    message(FATAL_ERROR "FWSTACK_SIGN_KEY '${FWSTACK_SIGN_KEY}' is not a pkcs11: URI naming the "
                        "key by object= or id=, without a PIN (give the PIN in "
                        "FWSTACK_SIGN_PASSWORD_FILE), e.g. pkcs11:token=publisher;object=signkey;type=private")
  endif()
  fwstack_signing_file(FWSTACK_SIGN_PKCS11_MODULE)
  fwstack_signing_file(FWSTACK_SIGN_CERTS)
  fwstack_find_pkcs11_engine()
  set(FWSTACK_SIGN_PASSWORD_FILE_PATH "")
  if(FWSTACK_SIGN_PASSWORD_FILE)
    fwstack_signing_file(FWSTACK_SIGN_PASSWORD_FILE)
  endif()
  fwstack_check_pkcs11_key("${FWSTACK_SIGN_PKCS11_MODULE_PATH}" "${FWSTACK_SIGN_KEY}"
                           "${FWSTACK_SIGN_PASSWORD_FILE_PATH}")
  set(sign_credentials -pkcs11engine ${FWSTACK_SIGN_PKCS11_ENGINE}
      -pkcs11module ${FWSTACK_SIGN_PKCS11_MODULE_PATH} -certs ${FWSTACK_SIGN_CERTS_PATH})
  # The URI's own semicolons would split a CMake list; sign.cmake restores them.
  string(REPLACE ";" "<semicolon>" sign_key_uri "${FWSTACK_SIGN_KEY}")
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
              "-DCREDENTIALS=${credentials}" "-DKEY_URI=${sign_key_uri}"
              -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
      VERBATIM)
endfunction()
