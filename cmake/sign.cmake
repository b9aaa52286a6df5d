# cmake -DOSSLSIGNCODE=... -DPROGRAM=<file.exe> -DCREDENTIALS=<a|b|...> -P sign.cmake
# Keeps the linked file as <file>-unsigned.exe and puts its Authenticode-signed
# copy in its place; on failure no file is left under the program's name.
string(REPLACE "|" ";" credentials "${CREDENTIALS}")
string(REGEX REPLACE "\\.exe$" "-unsigned.exe" unsigned "${PROGRAM}")
file(RENAME "${PROGRAM}" "${unsigned}")
execute_process(
    COMMAND ${OSSLSIGNCODE} sign ${credentials} -h sha256 -n Ferrowstack
            -in ${unsigned} -out ${PROGRAM}.signing
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${PROGRAM}.signing")
  message(FATAL_ERROR "signing ${PROGRAM} failed:\n${output}")
endif()
file(CHMOD "${PROGRAM}.signing" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${PROGRAM}.signing" "${PROGRAM}")
message(STATUS "signed ${PROGRAM}; the unsigned file is ${unsigned}")
