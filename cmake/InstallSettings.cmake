# batmon_install_settings(<file> [SECRET]): installs an example settings file into /etc/batmon
# when the prefix is /usr (the package, whose staging prefix ends in /usr too), else under the
# prefix's own etc/batmon. SECRET: readable by its owner (root) only.
function(batmon_install_settings file)
  cmake_parse_arguments(ARG "SECRET" "" "" ${ARGN})
  set(permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(ARG_SECRET)
    set(permissions OWNER_READ OWNER_WRITE)
  endif()
  install(CODE "
    set(settings_dir \"\${CMAKE_INSTALL_PREFIX}/etc/batmon\")
    if(CMAKE_INSTALL_PREFIX MATCHES \"/usr$\")
      string(REGEX REPLACE \"/usr$\" \"/etc/batmon\" settings_dir \"\${CMAKE_INSTALL_PREFIX}\")
    endif()
    file(INSTALL DESTINATION \"\${settings_dir}\" TYPE FILE
         FILE_PERMISSIONS ${permissions}
         FILES \"${CMAKE_CURRENT_SOURCE_DIR}/${file}\")
  ")
endfunction()
