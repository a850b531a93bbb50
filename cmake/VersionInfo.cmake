# The commit the executables are built from, which their version information carries
# ("SourceCommit") and brenlow.exe --version shows.
# - Given as -DBRENLOW_COMMIT=<hash>, that is used, for that configure run: a release builds from
#   an exported copy that holds no git data, and tools/release.sh passes the commit it exported.
# - Otherwise, when the source folder is the top of a git checkout (not merely a folder inside
#   one, as a release's exported copy under build/ is), git is asked at configure time, and the
#   files git changes on a commit, checkout, merge or reset (HEAD, its log, the branch's ref and
#   packed-refs) become configure dependencies: the next build after any of them configures
#   again and takes the new commit, so an existing build folder never keeps a stale one. Only the
#   version resources change then, so only they are compiled again.
# - Otherwise it is unknown and the executables carry none.
# Uncommitted changes are not marked: the hash names the commit the build started from.
function(brenlow_find_commit out)
  if(DEFINED BRENLOW_COMMIT AND NOT BRENLOW_COMMIT STREQUAL "")
    set(${out} "${BRENLOW_COMMIT}" PARENT_SCOPE)
    # For this configure run only: a build folder configured again later (by hand or because a
    # watched file changed) must not keep a commit that may no longer be the one built.
    unset(BRENLOW_COMMIT CACHE)
    return()
  endif()
  set(${out} "" PARENT_SCOPE)
  find_package(Git QUIET)
  if(NOT GIT_FOUND)
    return()
  endif()
  macro(brenlow_git var)
    execute_process(COMMAND ${GIT_EXECUTABLE} ${ARGN} WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE ${var} RESULT_VARIABLE git_result
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endmacro()
  brenlow_git(top rev-parse --show-toplevel)
  if(NOT git_result EQUAL 0)
    return()
  endif()
  file(REAL_PATH "${top}" top)
  file(REAL_PATH "${PROJECT_SOURCE_DIR}" source)
  if(NOT top STREQUAL source)
    return()
  endif()
  brenlow_git(commit rev-parse --short=10 HEAD)
  if(NOT git_result EQUAL 0)
    return()
  endif()
  brenlow_git(branch symbolic-ref -q HEAD)
  set(watched HEAD logs/HEAD packed-refs ${branch})
  foreach(name IN LISTS watched)
    brenlow_git(path rev-parse --git-path ${name})
    get_filename_component(path "${path}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    if(EXISTS "${path}")
      set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
    endif()
  endforeach()
  set(${out} "${commit}" PARENT_SCOPE)
endfunction()
brenlow_find_commit(BRENLOW_SOURCE_COMMIT)
if(BRENLOW_SOURCE_COMMIT)
  message(STATUS "Building commit ${BRENLOW_SOURCE_COMMIT}")
endif()

# brenlow_version_resource(TARGET DESCRIPTION text [PRODUCT_NAME name])
# Gives an executable the version information Explorer and installers show: the project's
# version, the company, the product's name ("Tevrin Agent" unless given), the description given
# and the target's file name; and the commit it was built from, when known.
function(brenlow_version_resource target)
  cmake_parse_arguments(ARG "" "DESCRIPTION;PRODUCT_NAME" "" ${ARGN})
  set(VERSION_INFO_PRODUCT "Tevrin Agent")
  if(ARG_PRODUCT_NAME)
    set(VERSION_INFO_PRODUCT "${ARG_PRODUCT_NAME}")
  endif()
  get_target_property(VERSION_INFO_NAME ${target} OUTPUT_NAME)
  if(NOT VERSION_INFO_NAME)
    set(VERSION_INFO_NAME ${target})
  endif()
  set(VERSION_INFO_FILE ${VERSION_INFO_NAME}.exe)
  set(VERSION_INFO_DESCRIPTION "${ARG_DESCRIPTION}")
  set(VERSION_INFO_COMMIT "")
  if(BRENLOW_SOURCE_COMMIT)
    set(VERSION_INFO_COMMIT "VALUE \"SourceCommit\", \"${BRENLOW_SOURCE_COMMIT}\"")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
