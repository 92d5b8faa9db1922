# Reproducible builds: two builds of one commit, in different folders and at different times, give
# the same shipped files byte for byte.
#
# Paths. The compiler sees a source either by its absolute path or, when ccache rewrites paths below
# its base folder, relative to the build folder ("../../support/RegKey.cpp"). The source folder is
# mapped to its path relative to the build folder and the build folder to ".", so that both give the
# same debug information and __FILE__, and no folder of the build machine gets into a binary. The
# mappings apply in reverse order: the build folder's own last, since it lies inside the sources.
# libcrypto's headers are named below "openssl/". ccache hashes these options without their values:
# objects it holds keep the mapping they were made with.
file(RELATIVE_PATH VRX_SOURCE_FROM_BUILD ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
# One separator at the end ("../../"), none for a build in the source folder itself.
string(REGEX REPLACE "([^/])/*$" "\\1/" VRX_SOURCE_FROM_BUILD "${VRX_SOURCE_FROM_BUILD}")
get_filename_component(VRX_OPENSSL_PREFIX ${VRX_OPENSSL_INCLUDE} DIRECTORY)
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=${VRX_SOURCE_FROM_BUILD}
                    -ffile-prefix-map=${VRX_OPENSSL_PREFIX}/=openssl/
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}=.
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)

# Time stamps. GNU ld, objcopy and strip write the time of the build into a PE file's header (and
# ld into its export directory) unless SOURCE_DATE_EPOCH names another. The stamp is a build input:
# VRX_PE_TIMESTAMP, else the configuring environment's SOURCE_DATE_EPOCH, else the time of the
# source tree's last commit; "none" leaves it out (0).
set(VRX_PE_TIMESTAMP "" CACHE STRING
    "PE time stamp: seconds since 1970, \"none\", or empty (SOURCE_DATE_EPOCH or the last commit's)")
find_package(Git QUIET)
set(VRX_LAST_COMMIT_TIME "")
if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE VRX_LAST_COMMIT_TIME
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # A new commit configures again, so that the stamp follows it. HEAD names the branch, whose
    # reference file moves with each commit.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --symbolic-full-name HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(ref HEAD ${branch})
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path ${ref}
                        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                        OUTPUT_VARIABLE ref_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(EXISTS "${ref_file}")
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ref_file})
        endif()
    endforeach()
endif()
if(VRX_PE_TIMESTAMP STREQUAL "none")
    set(VRX_SOURCE_DATE_EPOCH 0)
elseif(NOT VRX_PE_TIMESTAMP STREQUAL "")
    set(VRX_SOURCE_DATE_EPOCH ${VRX_PE_TIMESTAMP})
elseif(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(VRX_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
    set(VRX_SOURCE_DATE_EPOCH "${VRX_LAST_COMMIT_TIME}")
    if(VRX_SOURCE_DATE_EPOCH STREQUAL "")
        message(STATUS "PE time stamp: none (no SOURCE_DATE_EPOCH and no commit to take it from)")
        set(VRX_SOURCE_DATE_EPOCH 0)
    endif()
endif()
if(NOT VRX_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "PE time stamp: '${VRX_SOURCE_DATE_EPOCH}' is not a number of seconds")
endif()
# Runs a command with the time stamp in its environment: the link of a shipped file and every
# later step that rewrites it.
set(VRX_WITH_TIMESTAMP ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VRX_SOURCE_DATE_EPOCH})

# vrx_reproducible_link(TARGET...): links each TARGET with the time stamp.
function(vrx_reproducible_link)
    set_target_properties(${ARGN} PROPERTIES CXX_LINKER_LAUNCHER "${VRX_WITH_TIMESTAMP}"
                                             C_LINKER_LAUNCHER "${VRX_WITH_TIMESTAMP}")
endfunction()
