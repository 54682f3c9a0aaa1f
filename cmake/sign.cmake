# Signs the executable FILE in place with Authenticode (osslsigncode), right after it is linked:
#   cmake -DKEY=<PKCS#12 file> -DFILE=<exe> [-DTIMESTAMP_URL=<url>] -P sign.cmake
# The key's password comes from the environment variable MOUSETRAP_SIGNING_PASSWORD and reaches
# osslsigncode through a pipe, never through a command line, a file, the CMake cache or the log;
# set but empty, the key has no password. On any failure the unsigned file is removed, so it
# cannot be taken for a signed one.
cmake_minimum_required(VERSION 3.25)  # the password is never taken for a variable's name

function(fail why)
  file(REMOVE "${FILE}" "${FILE}.signed")
  message(FATAL_ERROR "Signing ${FILE} failed: ${why}. The unsigned file has been removed.")
endfunction()

if(NOT EXISTS "${KEY}")
  fail("the signing key ${KEY} (MOUSETRAP_SIGNING_KEY) does not exist")
endif()
if(NOT DEFINED ENV{MOUSETRAP_SIGNING_PASSWORD})
  fail("set MOUSETRAP_SIGNING_PASSWORD to the password of ${KEY} for the build (empty if it has "
       "none)")
endif()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
  fail("osslsigncode is not installed (Debian: apt install osslsigncode)")
endif()

set(timestamp "")
if(TIMESTAMP_URL)
  set(timestamp -t "${TIMESTAMP_URL}")
endif()
# The shell's own printf writes the password into a pipe, which osslsigncode reads as the file
# /dev/stdin (every osslsigncode from 2.5 on reads -readpass as a file name): the password is in
# no process's arguments and in no file on disk. An empty password is not given at all, since
# osslsigncode fails to read one from a file. Paths are arguments of their own.
set(password "")
set(readpass "")
if(NOT "$ENV{MOUSETRAP_SIGNING_PASSWORD}" STREQUAL "")
  set(password COMMAND sh -c "printf '%s' \"$MOUSETRAP_SIGNING_PASSWORD\"")
  set(readpass -readpass /dev/stdin)
endif()
execute_process(
  ${password}
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${KEY}" ${readpass} -n mousetrap ${timestamp}
          -in "${FILE}" -out "${FILE}.signed"
  RESULTS_VARIABLE results OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(REGEX MATCH "[^0;]" failed "${results}")
if(failed)
  string(STRIP "${output}" output)
  fail("osslsigncode: ${output}")
endif()
file(RENAME "${FILE}.signed" "${FILE}")
file(CHMOD "${FILE}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                 WORLD_READ WORLD_EXECUTE)
message(STATUS "Signed ${FILE} with ${KEY}")
