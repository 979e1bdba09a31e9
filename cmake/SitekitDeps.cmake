# The outside libraries the modules link, found once for the whole tree as
# global targets: ZLIB::ZLIB, PkgConfig::MINIZIP (minizip) and the curses
# variables. A module may find them again in its own folder; it then gets
# these same targets. Being global, they are visible to the packaging step,
# which writes them into sitekit.pc and the CMake package.
set(CMAKE_FIND_PACKAGE_TARGETS_GLOBAL ON)

find_package(ZLIB)
find_package(PkgConfig)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(MINIZIP IMPORTED_TARGET GLOBAL minizip)
  if(TARGET PkgConfig::MINIZIP AND TARGET ZLIB::ZLIB)
    # minizip.pc names zlib only for static links; a static program needs it.
    set_property(TARGET PkgConfig::MINIZIP APPEND PROPERTY INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
  endif()
endif()
