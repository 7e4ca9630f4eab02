# What a release holds, and how CPack packs it (`cmake --build <build> --target package`):
#   Windows: k410prog-<version>-win64.zip with k410prog.exe, LICENSE and README.TXT, the
#            technician's guide (CRLF line ends, so that any Windows editor shows it right);
#   Linux:   a .deb with k410prog, the virtual analyzer k410sim and the demo (its loader
#            BSL.EXE and the synthetic data), for rehearsing without an analyzer.
# The version is the project's.

# The guide in the form Windows expects: CRLF line ends, the version filled in.
file(READ ${PROJECT_SOURCE_DIR}/docs/technician-guide.txt k410_guide)
string(REPLACE "@K410_VERSION@" "${PROJECT_VERSION}" k410_guide "${k410_guide}")
string(REPLACE "\r\n" "\n" k410_guide "${k410_guide}")
string(REPLACE "\n" "\r\n" k410_guide "${k410_guide}")
set(K410_GUIDE ${CMAKE_BINARY_DIR}/package/README.TXT)
file(WRITE ${K410_GUIDE} "${k410_guide}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/docs/technician-guide.txt)

set(CPACK_PACKAGE_NAME k410prog)
set(CPACK_PACKAGE_VENDOR "the k410prog developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Reprograms a TALVEN 410 analyzer over its serial port")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

if(WIN32)
    # Everything in one folder, as the technician lays it out beside BSL.EXE and the images.
    install(TARGETS k410prog RUNTIME DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${K410_GUIDE} DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME k410prog-${PROJECT_VERSION}-win64)
else()
    include(GNUInstallDirs)
    set(k410_demo_dir ${CMAKE_INSTALL_DATADIR}/k410prog/demo)
    install(TARGETS k410prog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(TARGET k410sim)
        install(TARGETS k410sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
    # The demo loader writes nothing into an analyzer: it stays out of PATH, beside the demo
    # data, where only a run started in that folder finds it.
    if(TARGET k410_demo_bsl)
        install(TARGETS k410_demo_bsl RUNTIME DESTINATION ${k410_demo_dir})
    endif()
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/ DESTINATION ${k410_demo_dir}
            FILES_MATCHING PATTERN "*.TXT")
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the k410prog developers")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    find_program(K410_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(K410_DPKG_SHLIBDEPS)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    else()
        set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
    endif()
endif()

include(CPack)
