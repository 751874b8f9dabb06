# service_files.cmake - installs the radio's systemd units and the
# /etc/default files they read (for one component each time it runs). It
# runs when the prefix is known, at install time (cmake --install --prefix
# P; /usr in the packages):
#   PREFIX/lib/systemd/system/NAME.service, where systemd looks for units
#     (/usr/lib/systemd/system, /usr/local/lib/systemd/system); not
#     enabled. A unit names its program /usr/bin/NAME, made PREFIX/bin/NAME
#     under another prefix.
#   /etc/default/NAME under the prefix /usr, else PREFIX/etc/default/NAME:
#     lines for the administrator to fill in, commented out (the server's
#     loudness line alone is set).
#   PREFIX/lib/systemd/user/NAME.service for a program with a user unit
#     too (FOLDER/NAME-user.service in the tree), where the user's systemd
#     looks; not enabled either.
# Set before it runs: mcast_source_dir, mcast_build_dir, mcast_bindir, and
# the component's programs as FOLDER/NAME: mcast_units, those with a
# system unit and its /etc/default file; mcast_user_units, those with a
# user unit.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(etc "${prefix}/etc")
if(prefix STREQUAL "/usr")
  set(etc /etc)
endif()
# Installs FOLDER/NAME's unit from source into PREFIX/lib/systemd/kind.
function(install_unit program source kind)
  get_filename_component(name ${program} NAME)
  file(READ "${source}" unit)
  string(REPLACE "=/usr/bin/${name} " "=${prefix}/${mcast_bindir}/${name} " unit "${unit}")
  file(WRITE "${mcast_build_dir}/units/${kind}/${name}.service" "${unit}")
  file(INSTALL DESTINATION "${prefix}/lib/systemd/${kind}" TYPE FILE
       FILES "${mcast_build_dir}/units/${kind}/${name}.service")
endfunction()
foreach(program ${mcast_units})
  get_filename_component(name ${program} NAME)
  install_unit(${program} "${mcast_source_dir}/${program}.service" system)
  file(INSTALL DESTINATION "${etc}/default" TYPE FILE RENAME ${name}
       FILES "${mcast_source_dir}/${program}.default")
endforeach()
foreach(program ${mcast_user_units})
  install_unit(${program} "${mcast_source_dir}/${program}-user.service" user)
endforeach()
