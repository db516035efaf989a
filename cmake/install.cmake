# What `cmake --install` puts under the prefix (DESTDIR is honoured as usual):
#   lib/libqrx01p2.so.0.1.0, lib/libqrxhost.so.0.1.0 with their SONAME and development links, and the
#     static archives libqrx01p2.a and libqrxhost.a
#   include/qrx/ the public headers (qrxcb.h qrxis.h qrxky.h qrxmsg.h qrxus.h qrxhost.h)
#   lib/pkgconfig/qrx01p2.pc and lib/cmake/qrx01p2/ (find_package(qrx01p2 CONFIG) gives qrx01p2::qrx01p2)
#   share/man/man3/qrxcb.3 ... and share/man/man1/qrx.1, share/qrx/QRXMSENU
#   bin/qrx (installed by tools/)
# and `cpack -G DEB` packs the same tree into one Debian package.
include(CMakePackageConfigHelpers)

set(QRX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qrx01p2)

install(TARGETS qrx01p2 qrxhost qrx01p2_static qrxhost_static EXPORT qrx01p2Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Unspecified
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${QRX_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ DESTINATION ${QRX_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(FILES host/qrxhost.h DESTINATION ${QRX_INSTALL_INCLUDEDIR})

install(EXPORT qrx01p2Targets NAMESPACE qrx01p2:: DESTINATION ${QRX_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qrx01p2Config.cmake.in
  ${PROJECT_BINARY_DIR}/qrx01p2Config.cmake INSTALL_DESTINATION ${QRX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qrx01p2ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qrx01p2Config.cmake ${PROJECT_BINARY_DIR}/qrx01p2ConfigVersion.cmake
  DESTINATION ${QRX_CMAKE_DIR})

# pkg-config: paths relative to the prefix the file is found under, so a copied or DESTDIR-staged tree
# still describes itself.
file(RELATIVE_PATH QRX_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QRX_PC_PREFIX "${QRX_PC_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/qrx01p2.pc.in ${PROJECT_BINARY_DIR}/qrx01p2.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qrx01p2.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages, kept beside what they describe: one page per header, and the tool's page.
file(GLOB QRX_MAN3 CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.3)
install(FILES ${QRX_MAN3} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
if(QRX_BUILD_TOOLS)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/qrx/qrx.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# One Debian package with the libraries, headers, tool and manual pages.
set(CPACK_PACKAGE_NAME libqrx01p2)
set(CPACK_PACKAGE_VENDOR "libqrx01p2 developers")
set(CPACK_PACKAGE_CONTACT "libqrx01p2 developers <qrx01p2@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "embedded keyed, record-oriented storage in ordinary files")
set(CPACK_PACKAGE_DESCRIPTION "B+tree index files, ISAM databases and a keyed-file service behind C entry
points, with the qrx tool for statistics, verification, dumps and database commands.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Run-time dependencies come from the binaries themselves; the package's own libraries are found in
# the staged tree, and the package registers them with ldconfig.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_GENERATOR DEB)
include(CPack)
