# Install rules and the Debian packages built from them with CPack, one per
# component:
#   programs  mcast-tools          the radio's programs and throttlecat, what a
#                                  listener host installs
#   player    mcast-player         stream_player, what a room box installs,
#                                  with its units
#   sender    mcast-stream-sender  the test tool stream_sender
#   dev       libmytbf-dev         mytbf's header, static library, pkg-config
#                                  file, CMake package (find_package(mytbf)
#                                  -> mytbf::mytbf) and mytbf.3
# Installed programs whose short names would collide with other packages'
# get a prefix: client installs as mcast-client, throttlecat as
# mcast-throttlecat. The build tree keeps the short names.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MCAST_MAINTAINER "mcast-tools developers <devel@mcast-tools.org>"
    CACHE STRING "Maintainer named in the Debian packages")
set(deb_package_programs mcast-tools)
set(deb_package_player mcast-player)
set(deb_package_sender mcast-stream-sender)
set(deb_package_dev libmytbf-dev)

# Man pages and changelogs go in gzipped (gzip -9n: smallest, and no time stamp, so two
# builds give the same bytes), as Debian wants them.
add_custom_target(gzipped_docs ALL)
function(install_gzipped source destination component)
  get_filename_component(name ${source} NAME)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/gz/${component}/${name}.gz)
  add_custom_command(OUTPUT ${gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/gz/${component}
                     COMMAND gzip -9nc ${source} > ${gz}
                     DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER ${component}_${name} id)
  add_custom_target(gz_${id} DEPENDS ${gz})
  add_dependencies(gzipped_docs gz_${id})
  install(FILES ${gz} DESTINATION ${destination} COMPONENT ${component})
endfunction()

# install_program(TARGET INSTALLED_NAME COMPONENT): the program under its
# installed name, stripped where the install strips (cmake --install
# --strip, the packages), and its page man/INSTALLED_NAME.1. A new
# program of the radio is one more line below.
function(install_program target installed_name component)
  install(PROGRAMS $<TARGET_FILE:${target}> DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME ${installed_name} COMPONENT ${component})
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${installed_name}\")
endif()" COMPONENT ${component})
  install_gzipped(${PROJECT_SOURCE_DIR}/man/${installed_name}.1 ${CMAKE_INSTALL_MANDIR}/man1 ${component})
endfunction()

install_program(client mcast-client programs)
install_program(stream_server stream_server programs)
install_program(stream_gateway stream_gateway programs)
install_program(throttlecat mcast-throttlecat programs)
install_program(stream_player stream_player player)
install_program(stream_sender stream_sender sender)

# Debian keeps a package's documentation under its package name: each
# package has the copyright file and a changelog there.
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(deb_maintainer ${MCAST_MAINTAINER})
foreach(component programs player sender dev)
  set(deb_package ${deb_package_${component}})
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_package})
  install(FILES cmake/copyright DESTINATION ${docdir} COMPONENT ${component})
  configure_file(cmake/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog/${deb_package}/changelog @ONLY)
  install_gzipped(${CMAKE_CURRENT_BINARY_DIR}/changelog/${deb_package}/changelog ${docdir} ${component})
endforeach()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_package_programs}
        COMPONENT programs)

# The systemd units, where systemd finds them, not enabled, and the
# /etc/default files they read, each line a comment: installed by
# cmake/service_files.cmake, which knows the prefix they go under.
# install_units(COMPONENT "FOLDER/NAME..." "FOLDER/NAME...") installs the
# system units of the first list and the user units of the second.
function(install_units component units user_units)
  install(CODE "set(mcast_source_dir \"${PROJECT_SOURCE_DIR}\")
set(mcast_build_dir \"${CMAKE_CURRENT_BINARY_DIR}\")
set(mcast_bindir \"${CMAKE_INSTALL_BINDIR}\")
set(mcast_units \"${units}\")
set(mcast_user_units \"${user_units}\")" COMPONENT ${component})
  install(SCRIPT cmake/service_files.cmake COMPONENT ${component})
endfunction()
install_units(programs "server/stream_server;gateway/stream_gateway" "")
install_units(player player/stream_player player/stream_player)

install(TARGETS mytbf EXPORT mytbfTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES mytbf/mytbf.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install_gzipped(${PROJECT_SOURCE_DIR}/man/mytbf.3 ${CMAKE_INSTALL_MANDIR}/man3 dev)

# The .pc file names the prefix it is installed under, which is known only
# then (cmake --install --prefix P; /usr in the package), so pkg-config
# prints plain paths (and leaves out /usr/include, the compiler's own).
# Configured now with @prefix@ kept, which the install fills in.
set(prefix @prefix@)
configure_file(cmake/mytbf.pc.in ${CMAKE_CURRENT_BINARY_DIR}/mytbf.pc.in @ONLY)
install(CODE "set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/mytbf.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/pc/mytbf.pc\" @ONLY)
file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\" TYPE FILE
     FILES \"${CMAKE_CURRENT_BINARY_DIR}/pc/mytbf.pc\")" COMPONENT dev)

set(mytbf_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/mytbf)
install(EXPORT mytbfTargets NAMESPACE mytbf:: DESTINATION ${mytbf_cmake_dir} COMPONENT dev)
configure_package_config_file(cmake/mytbfConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/mytbfConfig.cmake
                              INSTALL_DESTINATION ${mytbf_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/mytbfConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/mytbfConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/mytbfConfigVersion.cmake
        DESTINATION ${mytbf_cmake_dir} COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs player sender dev)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME mcast-tools)
set(CPACK_PACKAGE_VENDOR "mcast-tools developers")
set(CPACK_PACKAGE_CONTACT ${MCAST_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The long descriptions below: a summary line, then lines CPack indents.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(runtime_depends "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME ${deb_package_programs})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION net)
# stream_gateway's HTTP server; stream_server's tag reader; the erasure code
# of the repair datagrams; Avahi's client library, through which the server
# and the gateway announce themselves on the LAN to the host's mDNS
# responder, avahi-daemon (without it they run unannounced); FFmpeg's
# libraries, which decode the files that are no MP3 of their channel's
# format, LAME, which encodes them as MP3, and libebur128, which measures
# loudness.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS
    "${runtime_depends}, libevent-2.1-7, libtag1v5, libisal2, libavahi-client3, libavahi-common3, \
libavformat59, libavcodec59, libavutil57, libswresample4, libmp3lame0, libebur128-1")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "mpg123, avahi-daemon")
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "multicast radio server, client and HTTP gateway
stream_server broadcasts the channels of a folder of music (MP3, FLAC,
Ogg Vorbis or Opus, AAC or ALAC, WAV or AIFF), as MP3 at one loudness if
asked, to an IPv4 multicast group on a LAN; mcast-client shows the channel list and plays the
chosen channel through a player; stream_gateway serves every channel over
HTTP, with a page, to browsers and players that cannot join multicast.
mcast-throttlecat copies a file at no more than five bytes per second.
The systemd units of stream_server and stream_gateway are installed, not
enabled; each reads its options from its file in /etc/default.")
# The /etc/default files that service_files.cmake installs are the
# administrator's: an upgrade keeps their changes.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/programs/conffiles
     "/etc/default/stream_gateway\n/etc/default/stream_server\n")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/deb/programs/conffiles)

set(CPACK_DEBIAN_PLAYER_PACKAGE_NAME ${deb_package_player})
set(CPACK_DEBIAN_PLAYER_PACKAGE_SECTION sound)
# libmpg123 decodes, ALSA plays, libsoxr resamples; the repair's erasure
# code; Avahi's client library finds the radio on the LAN through
# avahi-daemon. The ALSA plugins take "default" to PipeWire or PulseAudio.
set(CPACK_DEBIAN_PLAYER_PACKAGE_DEPENDS
    "${runtime_depends}, libmpg123-0, libasound2, libsoxr0, libisal2, libavahi-client3, libavahi-common3")
set(CPACK_DEBIAN_PLAYER_PACKAGE_RECOMMENDS "libasound2-plugins, avahi-daemon")
set(CPACK_COMPONENT_PLAYER_DESCRIPTION "room player of the mcast-tools multicast radio
stream_player joins the radio of a stream_server on the LAN, shows its
channel list and plays a channel on an ALSA audio device of its own, each
sample at the moment the server says plus a latency that every room
shares, so that all the rooms of a house play in step. A system unit for
a headless room box, which reads its device and channel from
/etc/default/stream_player, and a user unit for a desktop are installed,
not enabled.")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/player/conffiles "/etc/default/stream_player\n")
set(CPACK_DEBIAN_PLAYER_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/deb/player/conffiles)

set(CPACK_DEBIAN_SENDER_PACKAGE_NAME ${deb_package_sender})
set(CPACK_DEBIAN_SENDER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SENDER_PACKAGE_DEPENDS ${runtime_depends})
set(CPACK_COMPONENT_SENDER_DESCRIPTION "test sender for the mcast-tools radio client
stream_sender plays the stream server's part byte for byte: channel lists,
files as paced channel data, and crafted raw datagrams, to try a client.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${deb_package_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libc6-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "token bucket library (development files)
mytbf keeps up to 1024 token buckets per process, refilled once a second by
one background thread; a fetch blocks while a bucket is empty, or fails at
once or at a deadline. This package holds the header, the static library,
a pkg-config file, a CMake package and the manual page.")
include(CPack)
