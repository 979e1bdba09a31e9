# What `cmake --install` and CPack ship besides the targets themselves:
#   - sitekit.pc for pkg-config (every library, the outside libraries they
#     need in Requires.private / Libs.private),
#   - a CMake package: find_package(sitekit) gives sitekit::<library> for
#     every library and sitekit::sitekit for all of them with the umbrella
#     header's include directory,
#   - a Debian package through CPack (cpack -G DEB).
#
# The outside libraries are read from what the modules link, so a module
# only has to name them in its LINKS.

include(CMakePackageConfigHelpers)

get_property(SITEKIT_LIBS GLOBAL PROPERTY SITEKIT_LIBRARIES)

# Sorts one link item of a library into a pkg-config module name (zlib,
# minizip, ncurses) or a raw linker flag.
function(_sitekit_classify item out_kind out_value)
  set(kind "")
  set(value "")
  if(item MATCHES "^\\$<")
    # generator expressions (build-only options) are not shipped
  elseif(item MATCHES "^ZLIB::|(^|/)(lib)?z(\\.a|\\.so.*)?$")
    set(kind pc)
    set(value zlib)
  elseif(item MATCHES "[Mm][Ii][Nn][Ii][Zz][Ii][Pp]")
    set(kind pc)
    set(value minizip)
  elseif(item MATCHES "[Cc][Uu][Rr][Ss][Ee][Ss]")
    set(kind pc)
    set(value ncurses)
  elseif(item MATCHES "(^|/)(lib)?(tinfo|form|panel|menu)(\\.a|\\.so.*)?$")
    set(kind pc)
    set(value ncurses)
  elseif(item MATCHES "^-")
    set(kind flag)
    set(value "${item}")
  elseif(IS_ABSOLUTE "${item}")
    get_filename_component(base "${item}" NAME_WE)
    string(REGEX REPLACE "^lib" "" base "${base}")
    set(kind flag)
    set(value "-l${base}")
  elseif(NOT TARGET ${item})
    set(kind flag)
    set(value "-l${item}")
  endif()
  set(${out_kind} "${kind}" PARENT_SCOPE)
  set(${out_value} "${value}" PARENT_SCOPE)
endfunction()

set(_pc_requires "")
set(_pc_flags "")
set(_imported "")
foreach(lib IN LISTS SITEKIT_LIBS)
  get_target_property(links ${lib} INTERFACE_LINK_LIBRARIES)
  if(NOT links)
    continue()
  endif()
  foreach(item IN LISTS links)
    if(item IN_LIST SITEKIT_LIBS)
      continue()
    endif()
    if(TARGET ${item})
      get_target_property(imp ${item} IMPORTED)
      if(imp)
        list(APPEND _imported ${item})
      endif()
    endif()
    _sitekit_classify("${item}" kind value)
    if(kind STREQUAL "pc")
      list(APPEND _pc_requires ${value})
    elseif(kind STREQUAL "flag")
      list(APPEND _pc_flags ${value})
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES _pc_requires)
list(REMOVE_DUPLICATES _pc_flags)
list(REMOVE_DUPLICATES _imported)

# Static archives must come after the archives that use them: the modules
# are registered dependencies first, so the reversed list is the link order.
set(_pc_libs "")
set(_reversed ${SITEKIT_LIBS})
list(REVERSE _reversed)
foreach(lib IN LISTS _reversed)
  string(APPEND _pc_libs " -l${lib}")
endforeach()
list(JOIN _pc_requires ", " SITEKIT_PC_REQUIRES_PRIVATE)
list(JOIN _pc_flags " " SITEKIT_PC_LIBS_PRIVATE)
string(STRIP "${SITEKIT_PC_LIBS_PRIVATE} -lstdc++ -lm" SITEKIT_PC_LIBS_PRIVATE)
set(SITEKIT_PC_LIBS "${_pc_libs}")
# The prefix is found from where the file lies, so that an install with
# --prefix or DESTDIR, or a moved tree, still points at its own libraries.
file(RELATIVE_PATH SITEKIT_PC_PREFIX_REL /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" SITEKIT_PC_PREFIX_REL "${SITEKIT_PC_PREFIX_REL}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/sitekit.pc.in ${CMAKE_BINARY_DIR}/sitekit.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sitekit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# One target for all libraries, with the include directory of <sitekit/sitekit.h>.
add_library(sitekit_all INTERFACE)
set_target_properties(sitekit_all PROPERTIES EXPORT_NAME sitekit)
target_link_libraries(sitekit_all INTERFACE ${SITEKIT_LIBS})
target_include_directories(sitekit_all INTERFACE
  $<BUILD_INTERFACE:${SITEKIT_GEN_INCLUDE}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS sitekit_all EXPORT sitekitTargets)

# What the package's config file must find before it loads the targets:
# the imported targets the modules link.
set(SITEKIT_FIND_DEPENDENCIES "")
foreach(t IN LISTS _imported)
  if(t MATCHES "^ZLIB::")
    string(APPEND SITEKIT_FIND_DEPENDENCIES "find_dependency(ZLIB)\n")
  elseif(t MATCHES "^PkgConfig::(.+)$")
    set(prefix ${CMAKE_MATCH_1})
    _sitekit_classify("${t}" kind module)
    if(NOT kind STREQUAL "pc")
      string(TOLOWER "${prefix}" module)
    endif()
    string(APPEND SITEKIT_FIND_DEPENDENCIES
      "find_dependency(PkgConfig)\n"
      "if(NOT TARGET ${t})\n"
      "  pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET ${module})\n")
    if(module STREQUAL "minizip")
      # minizip.pc names zlib only for static links, and minizip is an archive here too
      string(APPEND SITEKIT_FIND_DEPENDENCIES
        "  find_dependency(ZLIB)\n"
        "  set_property(TARGET ${t} APPEND PROPERTY INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)\n")
    endif()
    string(APPEND SITEKIT_FIND_DEPENDENCIES "endif()\n")
  elseif(t MATCHES "^GTest::")
  else()
    string(APPEND SITEKIT_FIND_DEPENDENCIES
      "message(WARNING \"sitekit: the imported target ${t} must be defined before find_package(sitekit)\")\n")
  endif()
endforeach()

set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/sitekit)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/sitekitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/sitekitConfig.cmake INSTALL_DESTINATION ${_cmakedir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/sitekitConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/sitekitConfig.cmake ${CMAKE_BINARY_DIR}/sitekitConfigVersion.cmake
  DESTINATION ${_cmakedir})
install(EXPORT sitekitTargets NAMESPACE sitekit:: DESTINATION ${_cmakedir})

# Debian package: cpack -G DEB in the build directory. Besides what the
# install rules put under /usr, it carries Debian's documentation files and,
# for static programs, the lintian overrides that say why they are static;
# cmake/SitekitDebStage.cmake compresses the manual pages and the changelog,
# strips the programs and archives and sets the modes in the staged tree.
set(SITEKIT_PACKAGE_CONTACT "sitekit maintainers <maintainers@users.noreply.c-seed-8265adc8.example>"
  CACHE STRING "Maintainer of the Debian package (name <address>)")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sitekit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The summary above is the description's first line; these are the others.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The sitekit program reads and writes the daemon's own files (directory log,
dupe file and log, site log, messages, userfiles, passwd and group, nuke log)
and checks uploads (SFV, ZIP, NFO) from the daemon's hooks, cron and shell
scripts; siteview shows who is online and dlsync updates the directory log.
The static libraries, their C headers, pkg-config and CMake files let tool
authors build against the same modules.")
set(CPACK_PACKAGE_CONTACT "${SITEKIT_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/SitekitDebStage.cmake)
set(CPACK_SITEKIT_DOCDIR ${CMAKE_INSTALL_DOCDIR})
if(SITEKIT_STATIC_PROGRAMS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  set(CPACK_SITEKIT_LINTIAN_OVERRIDES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides.static)
else()
  # The dynamically linked programs need the runtime libraries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_SITEKIT_LINTIAN_OVERRIDES "")
endif()
# The headers and archives need the outside libraries' headers to be used.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zlib1g-dev, libminizip-dev, libncurses-dev, pkg-config")
include(CPack)
