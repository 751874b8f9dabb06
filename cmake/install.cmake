# Install rules: programs, the library with its header, man pages, an
# example systemd unit for the server, a pkg-config file, a CMake package
# (find_package(mytbf) -> mytbf::mytbf) and a Debian package through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# stream_sender goes with the client and the server: it tries a client
# with crafted streams.
install(TARGETS client stream_server throttlecat stream_sender RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS mytbf EXPORT mytbfTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES mytbf/mytbf.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES man/client.1 man/stream_server.1 man/throttlecat.1 man/stream_sender.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Debian keeps a package's documentation under its package name.
install(FILES server/stream_server.service
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/mcast-tools/examples)
install(FILES man/mytbf.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# The .pc file finds its prefix from its own place, so a package or a copied
# tree works wherever it lands.
file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(cmake/mytbf.pc.in ${CMAKE_CURRENT_BINARY_DIR}/mytbf.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mytbf.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(mytbf_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/mytbf)
install(EXPORT mytbfTargets NAMESPACE mytbf:: DESTINATION ${mytbf_cmake_dir})
configure_package_config_file(cmake/mytbfConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/mytbfConfig.cmake
                              INSTALL_DESTINATION ${mytbf_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/mytbfConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mytbfConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/mytbfConfigVersion.cmake
        DESTINATION ${mytbf_cmake_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mcast-tools)
set(CPACK_PACKAGE_VENDOR "mcast-tools developers")
set(CPACK_PACKAGE_CONTACT "mcast-tools developers <devel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "multicast radio server and client, token bucket library and rate-limited copier")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# stream_server reads tags with TagLib.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6, libgcc-s1, libtag1v5")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mpg123)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
