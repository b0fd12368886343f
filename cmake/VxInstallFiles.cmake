# Run by `cmake --install`: writes the systemd unit and the logrotate file with
# the shipped program folder (/opt/vxmail) replaced by the installed one, then
# installs them (DESTDIR applies; both are listed in install_manifest.txt).
function(vx_install_dir out dir)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE OUTPUT_VARIABLE abs)
  string(REGEX REPLACE "(.)/$" "\\1" abs "${abs}")
  set(${out} "${abs}" PARENT_SCOPE)
endfunction()

vx_install_dir(program_dir "${VX_INSTALL_PROGRAMDIR}")
vx_install_dir(systemd_dir "${VX_INSTALL_SYSTEMDDIR}")
vx_install_dir(data_dir "${VX_INSTALL_DATADIR}")

function(vx_install_text source name destination)
  file(READ "${VX_TOOLS_DIR}/${source}" text)
  string(REPLACE "/opt/vxmail" "${program_dir}" text "${text}")
  file(MAKE_DIRECTORY "${VX_STAGING_DIR}")
  file(WRITE "${VX_STAGING_DIR}/${name}" "${text}")
  file(INSTALL DESTINATION "${destination}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${VX_STAGING_DIR}/${name}")
endfunction()

vx_install_text(vxmail.service vxmail.service "${systemd_dir}")
vx_install_text(vxmail.logrotate vxmail.logrotate "${data_dir}")
