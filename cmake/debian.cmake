# The Debian package, laid out as Debian's policy asks (lintian finds nothing to say at its
# default level; scripts/test-package checks that): programs stripped, the demo loader, a
# program, under /usr/lib, the documentation a Debian package carries (a machine-readable
# copyright, a changelog, manual pages) compressed as dh_compress does it.
include(GNUInstallDirs)

find_program(K410_GZIP gzip REQUIRED)
set(k410_debian ${CMAKE_BINARY_DIR}/package/debian)
file(MAKE_DIRECTORY ${k410_debian})

# Compresses `source` into `target` the way Debian does: the best compression, and neither the
# file's name nor its time in the header, so the bytes depend on the contents only.
function(k410_gzip source target)
    execute_process(COMMAND ${K410_GZIP} -9 -n -c ${source}
                    OUTPUT_FILE ${target}
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot compress ${source} into ${target}")
    endif()
endfunction()

k410_source_date(K410_DATE "%Y-%m-%d")
k410_source_date(k410_year "%Y")
k410_source_date(k410_changelog_date "%a, %d %b %Y %H:%M:%S +0000")

# The manual pages, their version and date filled in.
foreach(page k410prog.1 k410sim.1)
    configure_file(${PROJECT_SOURCE_DIR}/docs/${page} ${k410_debian}/${page} @ONLY)
    k410_gzip(${k410_debian}/${page} ${k410_debian}/${page}.gz)
    install(FILES ${k410_debian}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The changelog of a package made here, not by Debian: one entry, for this version.
file(WRITE ${k410_debian}/changelog
     "k410prog (${K410_VERSION}) unstable; urgency=medium\n"
     "\n"
     "  * k410prog ${K410_VERSION}: see README.md for what it does and how it is tested.\n"
     "\n"
     " -- ${K410_CONTACT}  ${k410_changelog_date}\n")
k410_gzip(${k410_debian}/changelog ${k410_debian}/changelog.gz)

# The licence as Debian's machine-readable copyright format words it: MIT is "Expat" there.
# LICENSE names no year; the notice takes the year of the sources, as a notice must have one.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE k410_license_lines)
list(FIND k410_license_lines "Copyright (c) the k410prog developers" k410_holder_line)
if(k410_holder_line LESS 0)
    message(FATAL_ERROR "LICENSE no longer names its copyright holder as debian.cmake expects")
endif()
math(EXPR k410_text_start "${k410_holder_line} + 2")
list(SUBLIST k410_license_lines ${k410_text_start} -1 k410_license_text)
set(k410_copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: k410prog\n"
    "Upstream-Contact: ${K410_CONTACT}\n"
    "\n"
    "Files: *\n"
    "Copyright: ${k410_year} ${K410_VENDOR}\n"
    "License: Expat\n")
foreach(line IN LISTS k410_license_text)
    if(line STREQUAL "")
        list(APPEND k410_copyright " .\n")
    else()
        list(APPEND k410_copyright " ${line}\n")
    endif()
endforeach()
string(JOIN "" k410_copyright ${k410_copyright})
file(WRITE ${k410_debian}/copyright "${k410_copyright}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/docs/k410prog.1 ${PROJECT_SOURCE_DIR}/docs/k410sim.1
             ${PROJECT_SOURCE_DIR}/LICENSE)

install(FILES ${k410_debian}/copyright ${k410_debian}/changelog.gz ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(TARGETS k410prog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET k410sim)
    install(TARGETS k410sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The demo: its data in /usr/share/k410prog/demo, its loader in /usr/lib/k410prog, out of PATH
# (it writes nothing into an analyzer), and a relative link to it beside the data, where a run
# started in the demo folder looks first.
set(k410_demo_dir ${CMAKE_INSTALL_DATADIR}/k410prog/demo)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/ DESTINATION ${k410_demo_dir}
        FILES_MATCHING PATTERN "*.TXT")
if(TARGET k410_bsl)
    install(TARGETS k410_bsl RUNTIME DESTINATION lib/k410prog)
    file(CREATE_LINK ../../../lib/k410prog/BSL.EXE ${k410_debian}/BSL.EXE SYMBOLIC)
    install(FILES ${k410_debian}/BSL.EXE DESTINATION ${k410_demo_dir})
endif()

# Lintian takes the demo's .TXT files for documentation (a note, not a warning); the override
# says what they are.
file(WRITE ${k410_debian}/lintian-overrides
     "# The demo's firmware images and EEPROM data are what the demo sends, not documentation.\n"
     "k410prog: package-contains-documentation-outside-usr-share-doc [usr/share/k410prog/demo/*]\n")
install(FILES ${k410_debian}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME k410prog)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_STRIP_FILES ON)
# One string of lines, none of them with a semicolon (which a CMake list would split at).
set(CPACK_PACKAGE_DESCRIPTION
    "k410prog writes new firmware into a TALVEN 410 analyzer and then sends it its\n"
    "EEPROM data, over the analyzer's serial cable. The technician answers the COM\n"
    "port number and four questions about the analyzer's options at the console,\n"
    "and the program runs the bootstrap loader BSL.EXE, which writes the matching\n"
    "firmware image, then sends the EEPROM data file one line every 250 ms.\n"
    "\n"
    "On Linux a COM number names the serial device that Wine would use for it, so\n"
    "that this program and a loader run under Wine agree on the port.\n"
    "\n"
    "For rehearsing without an analyzer the package also holds the virtual\n"
    "analyzer k410sim and a demo: synthetic data and a loader that writes nothing.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
find_program(K410_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(K410_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()
