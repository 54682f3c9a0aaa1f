# Signs the executable FILE in place with Authenticode (osslsigncode), right after it is linked:
#   cmake -DKEY=<PKCS#12 file> -DFILE=<exe> [-DTIMESTAMP_URL=<url>] -P sign.cmake
# The key's password comes from the environment variable MOUSETRAP_SIGNING_PASSWORD and reaches
# osslsigncode through a pipe, never through a command line, the CMake cache or the log. On any
# failure the unsigned file is removed, so it cannot be taken for a signed one.
function(fail why)
  file(REMOVE "${FILE}" "${FILE}.signed")
  message(FATAL_ERROR "Signing ${FILE} failed: ${why}. The unsigned file has been removed.")
endfunction()

if(NOT EXISTS "${KEY}")
  fail("the signing key ${KEY} (MOUSETRAP_SIGNING_KEY) does not exist")
endif()
if(NOT DEFINED ENV{MOUSETRAP_SIGNING_PASSWORD})
  fail("set MOUSETRAP_SIGNING_PASSWORD to the password of ${KEY} for the build")
endif()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
  fail("osslsigncode is not installed (Debian: apt install osslsigncode)")
endif()

set(timestamp "")
if(TIMESTAMP_URL)
  set(timestamp "-t '${TIMESTAMP_URL}'")
endif()
# printf is the shell's own: the password is not in any process's arguments.
execute_process(
  COMMAND sh -c "printf '%s' \"$MOUSETRAP_SIGNING_PASSWORD\" | '${OSSLSIGNCODE}' sign -pkcs12 \
'${KEY}' -readpass - -n mousetrap ${timestamp} -in '${FILE}' -out '${FILE}.signed'"
  RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(failed)
  string(STRIP "${output}" output)
  fail("osslsigncode: ${output}")
endif()
file(RENAME "${FILE}.signed" "${FILE}")
file(CHMOD "${FILE}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                 WORLD_READ WORLD_EXECUTE)
message(STATUS "Signed ${FILE} with ${KEY}")
