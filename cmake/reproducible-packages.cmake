# CPack post-build script: makes the packages byte-reproducible, then writes SHA256SUMS beside
# them, in sha256sum's format.
#
# Every time stored in a package is the commit's: SOURCE_DATE_EPOCH, else the time of the last
# commit of the source folder's own git repository. A zip archive is normalised in place by
# strip-nondeterminism (entry times, extra fields, order, attributes); a Debian package is put
# together again by dpkg-deb, with every file dated at the commit, every directory 0755 and
# every mode that of its owner less group and other write, whatever the builder's umask.
set(source "${CPACK_MOUSETRAP_SOURCE_DIR}")

# Runs git in the source folder; its output in `out`, or a fatal error with git's own message.
function(git out)
  execute_process(COMMAND git -C "${source}" ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE error
                  RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed)
    string(STRIP "${error}" error)
    if(error STREQUAL "")
      set(error "${failed}")  # git could not be run at all
    endif()
    message(FATAL_ERROR "The packages' time stamps come from SOURCE_DATE_EPOCH or the last commit "
                        "of ${source}, and git failed: ${error}\nSet SOURCE_DATE_EPOCH (seconds "
                        "since 1970) to the release's commit time.")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  # Only the project's own repository: git would walk up to any repository around the folder.
  git(top rev-parse --show-toplevel)
  file(REAL_PATH "${top}" top)
  file(REAL_PATH "${source}" real_source)
  if(NOT top STREQUAL real_source)
    message(FATAL_ERROR "${source} is not the top of a git work tree of its own (git found "
                        "${top}): set SOURCE_DATE_EPOCH (seconds since 1970) to the release's "
                        "commit time.")
  endif()
  git(epoch log -1 --format=%ct)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970, not '${epoch}'")
endif()

set(sums "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    find_program(STRIP_NONDETERMINISM strip-nondeterminism REQUIRED)
    set(ENV{TZ} UTC0)  # zip's DOS times are local times: the same in every time zone
    execute_process(COMMAND "${STRIP_NONDETERMINISM}" --type zip -T "${epoch}" "${package}"
                    COMMAND_ERROR_IS_FATAL ANY)
  elseif(package MATCHES "\\.deb$")
    set(root "${CPACK_TOPLEVEL_DIRECTORY}/reproducible")
    file(REMOVE_RECURSE "${root}")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")  # dpkg-deb dates the ar members with it
    foreach(step IN ITEMS "dpkg-deb;--raw-extract;${package};${root}"
                          "chmod;-R;go=u,go-w;${root}"
                          "find;${root};-exec;touch;-h;-d;@${epoch};{};+"
                          "dpkg-deb;--root-owner-group;--build;${root};${package}")
      execute_process(COMMAND ${step} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()
  file(SHA256 "${package}" hash)
  cmake_path(GET package FILENAME name)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${sums}")
