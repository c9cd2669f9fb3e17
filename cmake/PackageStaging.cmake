# Run by CPack on the staged package before it is packed (CPACK_PRE_BUILD_SCRIPTS): CPack's
# strip leaves the compiler's notes (.comment, .note) in the binaries; they are taken out as
# Debian's packaging tools do.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/lib/batmon/*.so")
foreach(binary IN LISTS binaries)
  execute_process(COMMAND "${CPACK_BATMON_STRIP}" --remove-section=.comment --remove-section=.note
                          "${binary}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
