# What a release build needs before any target is made: the names and words the packages and
# the Windows resources share, the date of the sources, and the flags that keep the binaries
# the same from one build to the next.

# The one version of the program: the banner's, the Windows version resource's, the packages'.
set(K410_VERSION ${PROJECT_VERSION})
set(K410_VENDOR "the k410prog developers")
set(K410_CONTACT "k410prog developers <k410prog@example.org>")
set(K410_SUMMARY "Reprograms a TALVEN 410 analyzer over its serial port")
set(K410_COPYRIGHT "Copyright (c) the k410prog developers. MIT License.")

# The date of the sources: SOURCE_DATE_EPOCH when the build is given one, else the time of the
# commit checked out. Packages stamp their files with it, and the Debian changelog is dated by
# it, so that building the same commit twice gives the same bytes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(K410_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
    set(K410_SOURCE_DATE_EPOCH "")
    find_package(Git QUIET)
    if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                        OUTPUT_VARIABLE K410_SOURCE_DATE_EPOCH
                        OUTPUT_STRIP_TRAILING_WHITESPACE
                        ERROR_QUIET)
    endif()
endif()

# Formats the source date (now, when there is none) the way string(TIMESTAMP) does, in UTC.
function(k410_source_date variable format)
    set(had_epoch FALSE)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(had_epoch TRUE)
    endif()
    if(NOT K410_SOURCE_DATE_EPOCH STREQUAL "")
        set(ENV{SOURCE_DATE_EPOCH} ${K410_SOURCE_DATE_EPOCH})
    endif()
    string(TIMESTAMP date "${format}" UTC)
    if(NOT had_epoch)
        unset(ENV{SOURCE_DATE_EPOCH})
    endif()
    set(${variable} "${date}" PARENT_SCOPE)
endfunction()

if(NOT MSVC)
    # No folder of the machine that built it lands in a released binary: __FILE__ names the
    # sources relative to the source and build folders (the build folder's map comes last, so
    # it is the one that applies to a build folder inside the sources). Builds for debugging
    # keep the full paths, by which the debugger finds the sources.
    set(k410_release_config $<CONFIG:Release,MinSizeRel>)
    add_compile_options(
        "$<${k410_release_config}:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
        "$<${k410_release_config}:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
endif()

if(WIN32 AND NOT MSVC)
    # The PE header's link time would differ on every build.
    add_link_options(-Wl,--no-insert-timestamp)
endif()
