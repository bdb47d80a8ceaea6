# Run by CPack once the packages are made (CPACK_POST_BUILD_SCRIPTS). For a package holding a
# shared library CPack writes a postinst and a postrm that call ldconfig; Debian wants the
# ldconfig trigger instead (lintian: maintscript-calls-ldconfig). Such a package is unpacked and
# built again with the trigger in place of exactly those two scripts; nothing else changes.
set(cpack_postinst "#!/bin/sh\nset -e\nif [ \"$1\" = \"configure\" ]; then\n\tldconfig\nfi\n")
set(cpack_postrm "#!/bin/sh\nset -e\nif [ \"$1\" = \"remove\" ]; then\n\tldconfig\nfi\n")

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  find_program(DPKG_DEB dpkg-deb REQUIRED)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-trigger)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(replaced FALSE)
  foreach(script postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(READ ${tree}/DEBIAN/${script} text)
      string(REGEX REPLACE "\n\n+" "\n" text "${text}")  # CPack spaces its lines out
      if(text STREQUAL "${cpack_${script}}")
        file(REMOVE ${tree}/DEBIAN/${script})
        set(replaced TRUE)
      endif()
    endif()
  endforeach()
  if(replaced)
    file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zgzip --build ${tree} ${package}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    message(STATUS "${package}: the ldconfig trigger instead of ldconfig calls")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
