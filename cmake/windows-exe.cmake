# k410prog.exe as it is released: its resources (cmake/k410prog.rc.in), the version resource
# with the version of project() that the banner shows too and the application manifest; and,
# built for release, no symbols.
enable_language(RC)

if(NOT MSVC)
    # Stripped by the linker, which leaves the PE header's time stamp alone: strip would write
    # today's date into it, and no two builds would be the same. The C and C++ runtimes linked
    # in statically bring their own debug sections, so even a build without -g needs this.
    target_link_options(k410prog PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
endif()

# FILEVERSION and PRODUCTVERSION take four numbers: version 1.7 is 1,7,0,0.
set(k410_rc_numbers)
foreach(part MAJOR MINOR PATCH TWEAK)
    set(number "${PROJECT_VERSION_${part}}")
    if(number STREQUAL "")
        set(number 0)
    endif()
    list(APPEND k410_rc_numbers ${number})
endforeach()
string(JOIN "," K410_RC_VERSION ${k410_rc_numbers})

set(k410_manifest ${PROJECT_SOURCE_DIR}/cmake/k410prog.exe.manifest)
if(MSVC)
    # MSVC's linker writes a manifest of its own and merges the manifests among the sources
    # into it; a second one in the resources would clash with it.
    set(K410_RC_MANIFEST "")
    target_sources(k410prog PRIVATE ${k410_manifest})
else()
    # Resource type 24 (RT_MANIFEST), id 1: the manifest Windows reads when it starts a program.
    set(K410_RC_MANIFEST "1 24 \"${k410_manifest}\"")
endif()

set(k410_rc ${PROJECT_BINARY_DIR}/k410prog.rc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/k410prog.rc.in ${k410_rc} @ONLY)
set_source_files_properties(${k410_rc} PROPERTIES OBJECT_DEPENDS ${k410_manifest})
target_sources(k410prog PRIVATE ${k410_rc})
