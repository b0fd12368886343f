# Install layout: both programs in one program folder, which is also where the
# service keeps settings.ini, its log and the MailBox, RelayQueue and Bad
# folders (the folder of the real executable). Nothing of that state is an
# installed file, so installing again over an older copy replaces the programs
# and leaves settings and mail alone. The systemd unit and the logrotate file
# are written at install time, naming the program folder under the prefix that
# `cmake --install --prefix` gives.
set(VX_INSTALL_PROGRAMDIR "lib/vxmail" CACHE STRING
    "Program folder of the installed service, relative to the install prefix (or absolute)")
set(VX_INSTALL_SYSTEMDDIR "lib/systemd/system" CACHE STRING
    "Folder of the installed systemd unit, relative to the install prefix (or absolute)")
set(VX_INSTALL_DATADIR "share/vxmail" CACHE STRING
    "Folder of the installed logrotate file, relative to the install prefix (or absolute)")

# Components: "service" (the service program, its unit and logrotate file)
# and "console"; `cmake --install build --component service` needs only the
# service program built.
install(TARGETS VxMailServers RUNTIME DESTINATION ${VX_INSTALL_PROGRAMDIR} COMPONENT service)
install(TARGETS VxMailStation RUNTIME DESTINATION ${VX_INSTALL_PROGRAMDIR} COMPONENT console)

install(CODE "
  set(VX_INSTALL_PROGRAMDIR \"${VX_INSTALL_PROGRAMDIR}\")
  set(VX_INSTALL_SYSTEMDDIR \"${VX_INSTALL_SYSTEMDDIR}\")
  set(VX_INSTALL_DATADIR \"${VX_INSTALL_DATADIR}\")
  set(VX_TOOLS_DIR \"${PROJECT_SOURCE_DIR}/tools\")
  set(VX_STAGING_DIR \"${PROJECT_BINARY_DIR}/install-files\")
" COMPONENT service)
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/VxInstallFiles.cmake COMPONENT service)
