# Included by install steps: where the settings and the systemd units go for
# the prefix of this install (which `cmake --install --prefix` and CPack may
# change after configuring).  The programs look for their settings in
# <prefix>/etc/kestrune, and for the prefix /usr in /etc/kestrune, so these
# two are the only places; the units go where systemd looks for the
# system's own (/lib/systemd/system on Debian 12) or the prefix's.
string(REGEX REPLACE "/+$" "" kestrune_prefix "${CMAKE_INSTALL_PREFIX}")
if(kestrune_prefix STREQUAL "/usr")
  set(kestrune_sysconfdir /etc)
  set(kestrune_unitdir /lib/systemd/system)
else()
  set(kestrune_sysconfdir "${kestrune_prefix}/etc")
  set(kestrune_unitdir "${kestrune_prefix}/lib/systemd/system")
endif()
