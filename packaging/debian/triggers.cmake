# Run by cpack after it makes the .debs (CPACK_POST_BUILD_SCRIPTS): libtorvex1
# runs ldconfig through dpkg's trigger (its control file "triggers"), so the
# postinst and postrm that CPack writes to call ldconfig itself come out.
foreach(deb ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^libtorvex[0-9]+_")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
