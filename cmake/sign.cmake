# cmake -DOSSLSIGNCODE=... -DPROGRAM=<file.exe> -DCREDENTIALS=<a|b|...>
#       [-DKEY_URI=<pkcs11: URI, ";" written as "<semicolon>">] [-DDESCRIPTION=<name>] -P sign.cmake
# Keeps the linked file as <file>-unsigned.exe (or .dll) and puts its Authenticode-signed
# copy in its place; on failure no file is left under the program's name.
string(REPLACE "|" ";" credentials "${CREDENTIALS}")
if(NOT DESCRIPTION)
  set(DESCRIPTION Ferrowstack)
endif()
# Empty input: osslsigncode never waits for a PIN typed on a terminal.
set(io INPUT_FILE /dev/null RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(REGEX REPLACE "\\.(exe|dll)$" "-unsigned.\\1" unsigned "${PROGRAM}")
file(RENAME "${PROGRAM}" "${unsigned}")
if(KEY_URI)
  # A quoted argument keeps the URI's semicolons; a list would split it.
  string(REPLACE "<semicolon>" ";" uri "${KEY_URI}")
  execute_process(COMMAND ${OSSLSIGNCODE} sign ${credentials} -key "${uri}" -h sha256
                          -n "${DESCRIPTION}" -in ${unsigned} -out ${PROGRAM}.signing ${io})
else()
  execute_process(COMMAND ${OSSLSIGNCODE} sign ${credentials} -h sha256
                          -n "${DESCRIPTION}" -in ${unsigned} -out ${PROGRAM}.signing ${io})
endif()
if(NOT result EQUAL 0)
  file(REMOVE "${PROGRAM}.signing")
  message(FATAL_ERROR "signing ${PROGRAM} failed:\n${output}")
endif()
file(CHMOD "${PROGRAM}.signing" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${PROGRAM}.signing" "${PROGRAM}")
message(STATUS "signed ${PROGRAM}; the unsigned file is ${unsigned}")
