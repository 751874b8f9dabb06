# service_files.cmake - installs the radio's systemd units and the
# /etc/default files they read (the component programs). It runs when the
# prefix is known, at install time (cmake --install --prefix P; /usr in the
# packages):
#   PREFIX/lib/systemd/system/NAME.service, where systemd looks for units
#     (/usr/lib/systemd/system, /usr/local/lib/systemd/system); not
#     enabled. A unit names its program /usr/bin/NAME, made PREFIX/bin/NAME
#     under another prefix.
#   /etc/default/NAME under the prefix /usr, else PREFIX/etc/default/NAME:
#     every line a comment, for the administrator to fill in.
# Set before it runs: mcast_source_dir, mcast_build_dir, mcast_bindir.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(etc "${prefix}/etc")
if(prefix STREQUAL "/usr")
  set(etc /etc)
endif()
foreach(program server/stream_server gateway/stream_gateway)
  get_filename_component(name ${program} NAME)
  file(READ "${mcast_source_dir}/${program}.service" unit)
  string(REPLACE "=/usr/bin/${name} " "=${prefix}/${mcast_bindir}/${name} " unit "${unit}")
  file(WRITE "${mcast_build_dir}/units/${name}.service" "${unit}")
  file(INSTALL DESTINATION "${prefix}/lib/systemd/system" TYPE FILE
       FILES "${mcast_build_dir}/units/${name}.service")
  file(INSTALL DESTINATION "${etc}/default" TYPE FILE RENAME ${name}
       FILES "${mcast_source_dir}/${program}.default")
endforeach()
