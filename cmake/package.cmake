# What a release holds, and how CPack packs it (`cmake --build <build> --target package`;
# scripts/release makes both packages and their checksums):
#   Windows: k410prog-<version>-win32.zip (-win64 from a 64-bit build, which is not released)
#            with k410prog.exe, LICENSE and README.TXT, the technician's guide (CRLF line ends,
#            so that any Windows editor shows it right);
#   Linux:   a .deb with k410prog, the virtual analyzer k410sim, their manual pages and the
#            demo: its synthetic data in /usr/share/k410prog/demo, its loader BSL.EXE (a
#            program, so under /usr/lib/k410prog) reached from there through a link.
# The version is the project's. Every file in a package is stamped with the date of the
# sources (SOURCE_DATE_EPOCH, else the commit's time; cmake/release.cmake), so that the same
# commit packs to the same bytes.

# The guide in the form Windows expects: CRLF line ends, the version filled in.
file(READ ${PROJECT_SOURCE_DIR}/docs/technician-guide.txt k410_guide)
string(REPLACE "@K410_VERSION@" "${K410_VERSION}" k410_guide "${k410_guide}")
string(REPLACE "\r\n" "\n" k410_guide "${k410_guide}")
string(REPLACE "\n" "\r\n" k410_guide "${k410_guide}")
set(K410_GUIDE ${CMAKE_BINARY_DIR}/package/README.TXT)
file(WRITE ${K410_GUIDE} "${k410_guide}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/docs/technician-guide.txt)

set(CPACK_PACKAGE_NAME k410prog)
set(CPACK_PACKAGE_VENDOR "${K410_VENDOR}")
set(CPACK_PACKAGE_CONTACT "${K410_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${K410_SUMMARY}")
set(CPACK_PACKAGE_VERSION ${K410_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# A directory made by the install takes this mode whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# CPack stamps the packed files with SOURCE_DATE_EPOCH when it is set; the packing is given the
# date of the sources when the build was not.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package/source-date.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
     "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT \"${K410_SOURCE_DATE_EPOCH}\" STREQUAL \"\")\n"
     "    set(ENV{SOURCE_DATE_EPOCH} \"${K410_SOURCE_DATE_EPOCH}\")\n"
     "endif()\n")

if(WIN32)
    # Everything in one folder, as the technician lays it out beside BSL.EXE and the images.
    install(TARGETS k410prog RUNTIME DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${K410_GUIDE} DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    # The release ships the 32-bit build (scripts/release): it runs on 32- and 64-bit Windows.
    set(k410_windows win64)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(k410_windows win32)
    endif()
    set(CPACK_PACKAGE_FILE_NAME k410prog-${K410_VERSION}-${k410_windows})
else()
    include(cmake/debian.cmake)
endif()

include(CPack)
