# Signing with a key in a PKCS#11 token: OpenSSL's pkcs11 engine, and a
# configure-time look at the token, so that a wrong module, token, key or PIN
# is named here rather than found by the signing step after the link.

# OpenSSL's pkcs11 engine, through which osslsigncode reaches a token, in
# FWSTACK_SIGN_PKCS11_ENGINE; a configure error without it.
function(fwstack_find_pkcs11_engine)
  execute_process(COMMAND openssl version -e OUTPUT_VARIABLE engines
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "^ENGINESDIR: \"(.*)\"$" "\\1" engines "${engines}")
  find_file(FWSTACK_SIGN_PKCS11_ENGINE pkcs11.so PATHS "${engines}" NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH
            DOC "OpenSSL's pkcs11 engine, through which osslsigncode reaches the token")
  if(NOT FWSTACK_SIGN_PKCS11_ENGINE)
    message(FATAL_ERROR "signing with a PKCS#11 key needs OpenSSL's pkcs11 engine (Debian package "
                        "libengine-pkcs11-openssl); not found in '${engines}'")
  endif()
endfunction()

# The value of attribute name in a pkcs11: URI's path, percent-decoded; empty
# when absent.
function(_fwstack_pkcs11_attribute uri name out)
  set(value "")
  string(REGEX REPLACE "^pkcs11:" "" path "${uri}")
  string(REGEX REPLACE "\\?.*$" "" path "${path}")
  string(REPLACE ";" "\n" path "${path}")
  string(REGEX MATCH "(^|\n)${name}=[^\n]*" found "${path}")
  if(found)
    string(REGEX REPLACE "^\n?${name}=" "" value "${found}")
    string(REGEX MATCHALL "%[0-9A-Fa-f][0-9A-Fa-f]" escapes "${value}")
    list(REMOVE_DUPLICATES escapes)
    foreach(escape IN LISTS escapes)
      string(SUBSTRING "${escape}" 1 2 hex)
      math(EXPR code "0x${hex}")
      string(ASCII ${code} char)
      string(REPLACE "${escape}" "${char}" value "${value}")
    endforeach()
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# fwstack_check_pkcs11_key(<module> <key URI> <PIN file or "">): looks, with
# p11tool, for the token and the private key that the URI names, logging in
# with the PIN file's first line; a configure error that says which of the
# module, the token, the PIN or the key is wrong. The PIN stays in this
# process's environment for the look-up only: it is in no command line, cache
# entry or file of the build tree.
function(fwstack_check_pkcs11_key module uri pin_file)
  find_program(FWSTACK_P11TOOL p11tool
               DOC "GnuTLS's p11tool, with which configuring looks into the signing token")
  if(NOT FWSTACK_P11TOOL)
    message(FATAL_ERROR "looking for the signing key in its token needs p11tool (Debian "
                        "package gnutls-bin; tools/setup.sh installs it)")
  endif()
  set(run ${FWSTACK_P11TOOL} --provider ${module})
  execute_process(COMMAND ${run} --list-tokens INPUT_FILE /dev/null RESULT_VARIABLE result
                  OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the PKCS#11 module '${module}' cannot be loaded or started "
                        "(p11tool: ${errors}); give the token vendor's module for this machine, "
                        "and the configuration it reads (SoftHSM2: the file SOFTHSM2_CONF names)")
  endif()

  # The tokens the module shows: their URLs, labels and flags, one entry each.
  string(REPLACE ";" "<semicolon>" listing "${listing}")
  string(REGEX MATCHALL "URL: [^\n]*" urls "${listing}")
  string(REGEX MATCHALL "Label: [^\n]*" labels "${listing}")
  string(REGEX MATCHALL "Flags: [^\n]*" flags "${listing}")
  set(wanted)
  foreach(part token manufacturer serial model)
    _fwstack_pkcs11_attribute("${uri}" ${part} value)
    if(NOT value STREQUAL "")
      list(APPEND wanted "${part}=${value}")
    endif()
  endforeach()
  set(shown)
  set(match -1)
  list(LENGTH urls count)
  if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      list(GET urls ${i} url)
      string(REPLACE "<semicolon>" ";" url "${url}")
      string(REGEX REPLACE "^URL: " "" url "${url}")
      _fwstack_pkcs11_attribute("${url}" token label)
      list(APPEND shown "'${label}'")
      set(same TRUE)
      foreach(pair IN LISTS wanted)
        string(REGEX MATCH "^[a-z]+" part "${pair}")
        string(REGEX REPLACE "^[a-z]+=" "" value "${pair}")
        _fwstack_pkcs11_attribute("${url}" ${part} have)
        if(NOT have STREQUAL value)
          set(same FALSE)
        endif()
      endforeach()
      if(same AND match EQUAL -1)
        set(match ${i})
        set(token_url "${url}")
        set(token "${label}")
      endif()
    endforeach()
  endif()
  if(match EQUAL -1)
    if(shown)
      string(REPLACE ";" ", " shown "the tokens ${shown}")
    else()
      set(shown "no token")
    endif()
    string(REPLACE ";" ", " wanted "${wanted}")
    message(FATAL_ERROR "no token with ${wanted} is in the PKCS#11 module '${module}': it shows "
                        "${shown}; plug the token in, or correct the token part of "
                        "the key's URI '${uri}' (p11tool --provider ${module} --list-tokens "
                        "lists them); SoftHSM2 finds its tokens in the folder that the file "
                        "SOFTHSM2_CONF names, so set SOFTHSM2_CONF for configure and build")
  endif()

  list(GET flags ${match} token_flags)
  set(login)
  if(pin_file)
    if(NOT EXISTS "${pin_file}" OR IS_DIRECTORY "${pin_file}")
      message(FATAL_ERROR "the PIN file '${pin_file}' is not a file; give the path of the file "
                          "whose first line is the token's PIN")
    endif()
    file(STRINGS "${pin_file}" pin LIMIT_COUNT 1)
    set(ENV{GNUTLS_PIN} "${pin}")
    set(login --login)
    # Logging in alone first, so that a wrong PIN is not taken for a missing key.
    execute_process(COMMAND ${run} --login --list-privkeys "${token_url}" INPUT_FILE /dev/null
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 AND errors MATCHES "PIN|[Pp]assword|LOGIN")
      unset(ENV{GNUTLS_PIN})
      message(FATAL_ERROR "the PIN in '${pin_file}' does not open the token '${token}': "
                          "the token refused the login with it; put the token's user PIN on the file's first "
                          "line (a token locks itself after a few wrong PINs)")
    endif()
  elseif(token_flags MATCHES "Requires login")
    message(FATAL_ERROR "the token '${token}' needs its user PIN to sign, and no PIN file is "
                        "given: give a file whose first line is the PIN "
                        "(FWSTACK_SIGN_PASSWORD_FILE, or SIGN_PASSWORD_FILE)")
  endif()
  execute_process(COMMAND ${run} ${login} --list-privkeys "${uri}" INPUT_FILE /dev/null
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  set(keys "none")
  if(NOT output MATCHES "Private key")
    execute_process(COMMAND ${run} ${login} --list-privkeys "${token_url}" INPUT_FILE /dev/null
                    OUTPUT_VARIABLE all ERROR_QUIET)
    string(REPLACE ";" "<semicolon>" all "${all}")
    string(REGEX MATCHALL "URL: [^\n]*" all "${all}")
    set(keys)
    foreach(key IN LISTS all)
      string(REPLACE "<semicolon>" ";" key "${key}")
      string(REGEX REPLACE "^URL: " "" key "${key}")
      _fwstack_pkcs11_attribute("${key}" object label)
      string(REGEX MATCH "id=[^;]*" id "${key}")
      list(APPEND keys "object=${label} ${id}")
    endforeach()
    if(keys)
      string(REPLACE ";" ", " keys "${keys}")
    else()
      set(keys "none")
    endif()
  endif()
  unset(ENV{GNUTLS_PIN})
  if(NOT output MATCHES "Private key")
    message(FATAL_ERROR "the token '${token}' holds no private key that '${uri}' names: its "
                        "private keys are ${keys}; correct object= or id= in the URI")
  endif()
  message(STATUS "signing key: found in token '${token}' of ${module}")
endfunction()
