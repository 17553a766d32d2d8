# Run at installation: puts kx29.conf and the systemd unit where the install
# prefix says, with the unit's paths taken from that prefix.
#   prefix /usr (the package):  /etc/kx29/kx29.conf, /lib/systemd/system/kx29d.service
#   any other prefix P:         P/etc/kx29/kx29.conf, P/lib/systemd/system/kx29d.service
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/usr/")
  set(KX29_CONF_DIR /etc/kx29)
  set(unit_dir /lib/systemd/system)  # Debian 12 keeps the package units there
else()
  set(KX29_CONF_DIR "${prefix}/etc/kx29")
  set(unit_dir "${prefix}/lib/systemd/system")
endif()
if(IS_ABSOLUTE "${KX29_INSTALL_BINDIR}")
  set(KX29_BIN_DIR "${KX29_INSTALL_BINDIR}")
else()
  set(KX29_BIN_DIR "${prefix}/${KX29_INSTALL_BINDIR}")
endif()

configure_file("${KX29_EXAMPLES_DIR}/kx29d.service.in" "${KX29_STAGING_DIR}/kx29d.service" @ONLY)
file(INSTALL "${KX29_STAGING_DIR}/kx29d.service" DESTINATION "${unit_dir}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The installed configuration is the example with the segment given to the
# group kx29 (which the package creates). A configuration edited on this
# machine is never replaced (the package's copy is a conffile, which dpkg
# guards the same way).
file(READ "${KX29_EXAMPLES_DIR}/kx29.conf" conf)
string(REPLACE "\n#segment_group kx29\n" "\nsegment_group kx29\n" conf "${conf}")
if(NOT conf MATCHES "\nsegment_group kx29\n")
  message(FATAL_ERROR "${KX29_EXAMPLES_DIR}/kx29.conf has no '#segment_group kx29' line to set")
endif()
file(WRITE "${KX29_STAGING_DIR}/kx29.conf" "${conf}")
if(EXISTS "$ENV{DESTDIR}${KX29_CONF_DIR}/kx29.conf")
  message(STATUS "Kept: $ENV{DESTDIR}${KX29_CONF_DIR}/kx29.conf (the example is ${KX29_EXAMPLES_DIR}/kx29.conf)")
else()
  file(INSTALL "${KX29_STAGING_DIR}/kx29.conf" DESTINATION "${KX29_CONF_DIR}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
