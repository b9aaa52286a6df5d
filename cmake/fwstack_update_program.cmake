# fwstack_update_program(<target> VERSION <X.Y.Z> PRODUCT <name> PUBLISHER <name>
#     [NAME <program name>] [UPDATE_ADDRESS <https://host/downloads/name/latest.txt>]
#     [DESCRIPTION <text>] [ICON <file.ico>]
#     [SIGN_PKCS12 <file> | SIGN_CERTS <chain.pem> SIGN_KEY <key.pem or pkcs11: URI>
#      [SIGN_PKCS11_MODULE <module.so>]] [SIGN_PASSWORD_FILE <file>] [SIGN_TIMESTAMP <url>])
#
# The one place a program's identity is written. From it the program gets:
# - fwstack_program.h on its include path: FWSTACK_PROGRAM_NAME (NAME, by
#   default the output name), _VERSION, _PUBLISHER, _PRODUCT and
#   _UPDATE_ADDRESS, for the program's fwstack_settings;
# - the version resource the engine checks in each release (language 0x0409,
#   code page 0x04B0, file version X.Y.Z.0, the product name, the original
#   file name), from fwstack_program.rc and that header;
# - <output file>.identity beside the program, which fwstack-publish --identity
#   reads, so the release tool checks what the program checks;
# - with signing arguments, an Authenticode signature made after linking (the
#   linked file is kept as <name>-unsigned.exe).
# Relative file arguments are taken against the current source folder.
# Configuring checks that the signing files exist and that the signing
# certificate's common name is PUBLISHER, the signer every client demands. A
# password or PIN is only ever read from SIGN_PASSWORD_FILE.
enable_language(RC)
set(FWSTACK_UPDATE_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
if(NOT FWSTACK_UPDATE_RC)
  set(FWSTACK_UPDATE_RC ${CMAKE_CURRENT_LIST_DIR}/fwstack_program.rc)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/fwstack_pkcs11.cmake)

# The absolute path of a file argument, against the current source folder;
# a configure error naming both forms when it is no file.
function(_fwstack_program_file target field value out)
  get_filename_component(path "${value}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "fwstack_update_program(${target}): ${field} '${value}' is not a file "
                        "(looked for ${path}; a relative path is taken against ${CMAKE_CURRENT_SOURCE_DIR})")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# The common name of the code-signing certificate among PEM text: the first
# certificate that is not a CA (the leaf, wherever the chain puts it), else
# the first one.
function(_fwstack_signer_name pem out)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----" blocks "${pem}")
  set(name "")
  set(first "")
  set(index 0)
  foreach(block ${blocks})
    set(file ${CMAKE_CURRENT_BINARY_DIR}/fwstack_program/cert-${index}.pem)
    math(EXPR index "${index} + 1")
    file(WRITE ${file} "${block}\n")
    execute_process(COMMAND openssl x509 -in ${file} -noout -subject -nameopt multiline,-esc_msb,utf8
                            -ext basicConstraints
                    OUTPUT_VARIABLE text RESULT_VARIABLE failed ERROR_QUIET)
    file(REMOVE ${file})
    if(failed OR NOT text MATCHES "\n *commonName *= ([^\n]*)")
      continue()
    endif()
    set(cn "${CMAKE_MATCH_1}")
    if(first STREQUAL "")
      set(first "${cn}")
    endif()
    if(NOT text MATCHES "CA:TRUE")
      set(name "${cn}")
      break()
    endif()
  endforeach()
  if(name STREQUAL "")
    set(name "${first}")
  endif()
  set(${out} "${name}" PARENT_SCOPE)
endfunction()

# Stops configuring unless the signing certificate's common name is the publisher.
function(_fwstack_check_signer target publisher certs pkcs12 password_file)
  find_program(FWSTACK_OPENSSL openssl)
  if(NOT FWSTACK_OPENSSL)
    message(FATAL_ERROR "fwstack_update_program(${target}): checking the signing certificate "
                        "needs openssl (Debian package openssl)")
  endif()
  if(pkcs12)
    set(pass pass:)
    if(password_file)
      set(pass file:${password_file})
    endif()
    set(pem "")
    # Older PKCS#12 files use ciphers that OpenSSL 3 reads only with -legacy.
    foreach(legacy "" -legacy)
      execute_process(COMMAND ${FWSTACK_OPENSSL} pkcs12 -in ${pkcs12} -nokeys -clcerts -passin ${pass} ${legacy}
                      OUTPUT_VARIABLE pem RESULT_VARIABLE failed ERROR_VARIABLE error)
      if(NOT failed)
        break()
      endif()
    endforeach()
    if(failed)
      message(FATAL_ERROR "fwstack_update_program(${target}): cannot read the certificate in "
                          "SIGN_PKCS12 ${pkcs12} (a wrong or missing SIGN_PASSWORD_FILE?):\n${error}")
    endif()
    set(from "SIGN_PKCS12 ${pkcs12}")
  else()
    file(READ ${certs} pem)
    set(from "SIGN_CERTS ${certs}")
  endif()
  _fwstack_signer_name("${pem}" signer)
  if(signer STREQUAL "")
    message(FATAL_ERROR "fwstack_update_program(${target}): ${from} holds no certificate with a "
                        "common name")
  endif()
  if(NOT signer STREQUAL publisher)
    message(FATAL_ERROR "fwstack_update_program(${target}): the signing certificate in ${from} "
                        "is issued to \"${signer}\", but PUBLISHER is \"${publisher}\"; clients "
                        "accept only releases signed by PUBLISHER: make them the same")
  endif()
endfunction()

# A value for a C string literal: backslashes and quotes escaped.
function(_fwstack_c_string value out)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

function(fwstack_update_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg ""
      "NAME;VERSION;PRODUCT;PUBLISHER;UPDATE_ADDRESS;DESCRIPTION;ICON;SIGN_PKCS12;SIGN_CERTS;SIGN_KEY;SIGN_PKCS11_MODULE;SIGN_PASSWORD_FILE;SIGN_TIMESTAMP"
      "")
  set(who "fwstack_update_program(${target})")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${who}: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "${who}: VERSION '${arg_VERSION}' is not X.Y.Z")
  endif()
  set(major ${CMAKE_MATCH_1})
  set(minor ${CMAKE_MATCH_2})
  set(patch ${CMAKE_MATCH_3})
  foreach(number ${major} ${minor} ${patch})
    if(number GREATER 65535)
      message(FATAL_ERROR "${who}: VERSION '${arg_VERSION}': each number is at most 65535")
    endif()
  endforeach()
  get_target_property(output ${target} OUTPUT_NAME)
  if(NOT output)
    set(output ${target})
  endif()
  if(NOT arg_NAME)
    set(arg_NAME "${output}")
  endif()
  # What the engine's settings accept; a build never makes a program whose
  # every update attempt ends in "settings invalid".
  string(LENGTH "${arg_NAME}" length)
  if(NOT arg_NAME MATCHES "^[A-Za-z0-9._-]+$" OR length GREATER 32)
    message(FATAL_ERROR "${who}: NAME '${arg_NAME}' is not 1 to 32 of A-Z, a-z, 0-9, '.', '-', '_'")
  endif()
  foreach(field PRODUCT PUBLISHER)
    string(LENGTH "${arg_${field}}" length)
    if(NOT arg_${field} MATCHES "^[ -~]+$" OR length GREATER 64)
      message(FATAL_ERROR "${who}: ${field} '${arg_${field}}' must be 1 to 64 printable ASCII characters")
    endif()
  endforeach()
  if(DEFINED arg_UPDATE_ADDRESS AND NOT arg_UPDATE_ADDRESS MATCHES
     "^(https://[A-Za-z0-9.-]+|http://127\\.0\\.0\\.1)(:[0-9]+)?/[!-~]*$")
    message(FATAL_ERROR "${who}: UPDATE_ADDRESS '${arg_UPDATE_ADDRESS}' is not "
                        "https://<host>[:<port>]/<path>, e.g. https://updates.example.com/downloads/${arg_NAME}/latest.txt")
  endif()
  set(description "${arg_PRODUCT}")
  if(arg_DESCRIPTION)
    set(description "${arg_DESCRIPTION}")
  endif()

  # The identity header, included by the program and by its version resource.
  set(folder ${CMAKE_CURRENT_BINARY_DIR}/fwstack_program/${target})
  string(CONCAT header "/* ${target}'s identity, written by fwstack_update_program(); do not edit. */\n"
             "#ifndef FWSTACK_PROGRAM_H\n#define FWSTACK_PROGRAM_H\n")
  foreach(pair NAME:arg_NAME VERSION:arg_VERSION PUBLISHER:arg_PUBLISHER PRODUCT:arg_PRODUCT
               DESCRIPTION:description UPDATE_ADDRESS:arg_UPDATE_ADDRESS FILE_NAME:file_name)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 macro)
    list(GET pair 1 variable)
    if(variable STREQUAL "file_name")
      set(value "${output}.exe")
    else()
      set(value "${${variable}}")
    endif()
    if(macro STREQUAL "UPDATE_ADDRESS" AND NOT DEFINED arg_UPDATE_ADDRESS)
      continue()
    endif()
    _fwstack_c_string("${value}" literal)
    string(APPEND header "#define FWSTACK_PROGRAM_${macro} ${literal}\n")
  endforeach()
  string(APPEND header "#define FWSTACK_PROGRAM_VERSION_MAJOR ${major}\n"
                       "#define FWSTACK_PROGRAM_VERSION_MINOR ${minor}\n"
                       "#define FWSTACK_PROGRAM_VERSION_PATCH ${patch}\n")
  set(icon "")
  if(arg_ICON)
    _fwstack_program_file(${target} ICON "${arg_ICON}" icon)
    _fwstack_c_string("${icon}" literal)
    string(APPEND header "#define FWSTACK_PROGRAM_ICON ${literal}\n")
  endif()
  string(APPEND header "#endif\n")
  file(CONFIGURE OUTPUT ${folder}/fwstack_program.h CONTENT "${header}" @ONLY)
  target_include_directories(${target} PRIVATE ${folder})
  # The resource is compiled in the target's folder, so each target's own
  # header is the one it includes.
  configure_file(${FWSTACK_UPDATE_RC} ${folder}/${target}-version.rc COPYONLY)
  target_sources(${target} PRIVATE ${folder}/${target}-version.rc)
  set_source_files_properties(${folder}/${target}-version.rc PROPERTIES
      OBJECT_DEPENDS "${folder}/fwstack_program.h;${icon}")

  # What fwstack-publish --identity reads: one "key value" line each.
  string(CONCAT identity "program ${arg_NAME}\nversion ${arg_VERSION}\npublisher ${arg_PUBLISHER}\n"
               "product ${arg_PRODUCT}\n")
  if(DEFINED arg_UPDATE_ADDRESS)
    string(APPEND identity "update_address ${arg_UPDATE_ADDRESS}\n")
  endif()
  file(GENERATE OUTPUT $<TARGET_FILE:${target}>.identity CONTENT "${identity}")

  set(credentials)
  set(key_uri)
  set(password_file)
  if(arg_SIGN_PASSWORD_FILE)
    _fwstack_program_file(${target} SIGN_PASSWORD_FILE "${arg_SIGN_PASSWORD_FILE}" password_file)
  endif()
  if(arg_SIGN_PKCS12 AND (arg_SIGN_CERTS OR arg_SIGN_KEY OR arg_SIGN_PKCS11_MODULE))
    message(FATAL_ERROR "${who}: give either SIGN_PKCS12 or SIGN_CERTS with SIGN_KEY "
                        "(and SIGN_PKCS11_MODULE for a token), not both")
  elseif(arg_SIGN_PKCS12)
    _fwstack_program_file(${target} SIGN_PKCS12 "${arg_SIGN_PKCS12}" pkcs12)
    _fwstack_check_signer(${target} "${arg_PUBLISHER}" "" "${pkcs12}" "${password_file}")
    set(credentials -pkcs12 ${pkcs12})
  elseif(arg_SIGN_PKCS11_MODULE OR arg_SIGN_KEY MATCHES "^pkcs11:")
    if(NOT arg_SIGN_PKCS11_MODULE OR NOT arg_SIGN_CERTS OR NOT arg_SIGN_KEY MATCHES "^pkcs11:")
      message(FATAL_ERROR "${who}: a key in a PKCS#11 token needs "
                          "SIGN_PKCS11_MODULE, SIGN_KEY (its pkcs11: URI) and SIGN_CERTS")
    endif()
    _fwstack_program_file(${target} SIGN_PKCS11_MODULE "${arg_SIGN_PKCS11_MODULE}" module)
    _fwstack_program_file(${target} SIGN_CERTS "${arg_SIGN_CERTS}" certs)
    _fwstack_check_signer(${target} "${arg_PUBLISHER}" "${certs}" "" "")
    fwstack_find_pkcs11_engine()
    fwstack_check_pkcs11_key("${module}" "${arg_SIGN_KEY}" "${password_file}")
    set(credentials -pkcs11engine ${FWSTACK_SIGN_PKCS11_ENGINE} -pkcs11module ${module}
        -certs ${certs})
    string(REPLACE ";" "<semicolon>" key_uri "${arg_SIGN_KEY}")
  elseif(arg_SIGN_CERTS OR arg_SIGN_KEY)
    if(NOT arg_SIGN_CERTS OR NOT arg_SIGN_KEY)
      message(FATAL_ERROR "${who}: SIGN_CERTS and SIGN_KEY go together")
    endif()
    _fwstack_program_file(${target} SIGN_CERTS "${arg_SIGN_CERTS}" certs)
    _fwstack_program_file(${target} SIGN_KEY "${arg_SIGN_KEY}" key)
    _fwstack_check_signer(${target} "${arg_PUBLISHER}" "${certs}" "" "")
    set(credentials -certs ${certs} -key ${key})
  endif()
  if(NOT credentials)
    if(arg_SIGN_PASSWORD_FILE OR arg_SIGN_TIMESTAMP)
      message(FATAL_ERROR "${who}: SIGN_PASSWORD_FILE and SIGN_TIMESTAMP need a signing "
                          "certificate: SIGN_PKCS12, or SIGN_CERTS with SIGN_KEY")
    endif()
    return()
  endif()
  if(password_file)
    list(APPEND credentials -readpass ${password_file})
  endif()
  if(arg_SIGN_TIMESTAMP)
    if(NOT arg_SIGN_TIMESTAMP MATCHES "^https?://[^ ]+$")
      message(FATAL_ERROR "${who}: SIGN_TIMESTAMP '${arg_SIGN_TIMESTAMP}' is not an "
                          "http:// or https:// address")
    endif()
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
              "-DDESCRIPTION=${description}" -P ${FWSTACK_UPDATE_CMAKE_DIR}/sign.cmake
      VERBATIM)
endfunction()
