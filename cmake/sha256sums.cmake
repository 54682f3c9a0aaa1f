# CPack post-build script: makes the packages byte-reproducible, then writes SHA256SUMS beside
# them, in sha256sum's format.
#
# Every zip entry's time becomes the commit's (SOURCE_DATE_EPOCH, else the time of the source
# tree's last commit), and what else varies between builds (other times in extra fields,
# entry order, attributes) is normalised by strip-nondeterminism.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_MOUSETRAP_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed
                  ERROR_QUIET)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "The archive's time stamps come from SOURCE_DATE_EPOCH or the last git "
                        "commit: set SOURCE_DATE_EPOCH (seconds since 1970) outside a git checkout")
  endif()
endif()
find_program(STRIP_NONDETERMINISM strip-nondeterminism REQUIRED)
set(ENV{TZ} UTC0)  # zip's DOS times are local times: the same in every time zone

set(sums "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND "${STRIP_NONDETERMINISM}" --type zip -T "${epoch}" "${package}"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(SHA256 "${package}" hash)
  cmake_path(GET package FILENAME name)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${sums}")
