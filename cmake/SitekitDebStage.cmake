# Run by CPack on the staged tree of the Debian package, before the package
# is made (CPACK_PRE_BUILD_SCRIPTS): what Debian asks of a package's files
# beyond what the install rules give.
#   - manual pages and the changelog compressed with gzip -9n (no name or
#     time stamp in the archive, so that the package is reproducible),
#   - the programs and archives without the sections Debian strips too
#     (.comment, .note; the archives' debugging symbols), archives written
#     deterministically,
#   - the lintian overrides of a build with static programs,
#   - directories and programs 0755, other files 0644, whatever the umask.
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")

file(GLOB_RECURSE pages LIST_DIRECTORIES false "${root}/share/man/*")
set(to_compress "${root}/${CPACK_SITEKIT_DOCDIR}/changelog")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$" AND NOT IS_SYMLINK "${page}")
    list(APPEND to_compress "${page}")
  endif()
endforeach()
foreach(f IN LISTS to_compress)
  if(EXISTS "${f}")
    execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip -9n ${f} failed")
    endif()
  endif()
endforeach()

find_program(strip_tool NAMES strip)
if(strip_tool)
  file(GLOB programs LIST_DIRECTORIES false "${root}/bin/*")
  file(GLOB_RECURSE archives LIST_DIRECTORIES false "${root}/lib/*.a")
  foreach(f IN LISTS programs archives)
    if(f MATCHES "\\.a$")
      set(how --strip-debug --enable-deterministic-archives)
    else()
      set(how --strip-all)
    endif()
    execute_process(COMMAND "${strip_tool}" ${how} --remove-section=.comment --remove-section=.note "${f}"
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "strip ${f} failed")
    endif()
  endforeach()
endif()

if(CPACK_SITEKIT_LINTIAN_OVERRIDES)
  file(MAKE_DIRECTORY "${root}/share/lintian/overrides")
  configure_file("${CPACK_SITEKIT_LINTIAN_OVERRIDES}" "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}"
    COPYONLY)
endif()

file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(e IN LISTS entries)
  if(IS_SYMLINK "${e}")
    continue()
  elseif(IS_DIRECTORY "${e}" OR e MATCHES "/bin/[^/]+$")
    file(CHMOD "${e}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD "${e}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
