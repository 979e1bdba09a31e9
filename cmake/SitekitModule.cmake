# Helpers shared by every module of the tree.
#
#   sitekit_module(<name> SOURCES ... HEADERS ... [LINKS ...])
#     builds lib<name>.a, installs it and its public headers under
#     include/sitekit/, and adds the headers to the umbrella header.
#   sitekit_module_sources(<name> SOURCES ... HEADERS ...)
#     adds the current folder's sources and headers to a library made by
#     sitekit_module in another folder (see below).
#   sitekit_program(<name> SOURCES ... [LINKS ...])
#     builds and installs a program (fully static with SITEKIT_STATIC_PROGRAMS).
#   sitekit_test(<name> SOURCES ... [LINKS ...])
#     builds a GoogleTest program and registers its tests with CTest.

# The modules, in build order: each links only the shared layers (lib) and
# modules before it. src/, tests/ and bench/ hold one folder per module.
set(SITEKIT_MODULES lib sitelogs statfile acctdb checks penaltylog netops monitor pre/mp3info app)
# The modules with no speed target, hence no folder under bench/.
set(SITEKIT_MODULES_WITHOUT_BENCH netops pre/mp3info app)

# Adds the folder of every module below the current folder, in build order.
function(sitekit_add_module_folders)
  cmake_parse_arguments(A "" "" "EXCEPT" ${ARGN})
  set(dirs ${SITEKIT_MODULES})
  if(A_EXCEPT)
    list(REMOVE_ITEM dirs ${A_EXCEPT})
  endif()
  foreach(dir IN LISTS dirs)
    add_subdirectory(${dir})
  endforeach()
endfunction()

set(SITEKIT_GEN_INCLUDE ${CMAKE_BINARY_DIR}/include)
set_property(GLOBAL PROPERTY SITEKIT_PUBLIC_HEADERS "")
set_property(GLOBAL PROPERTY SITEKIT_LIBRARIES "")

function(sitekit_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  if(SITEKIT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
    # g++ 12 at -O3 reports overlapping copies inside std::string's own
    # insert (-Wrestrict) where none can happen; it stays a warning there.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-error=restrict)
    endif()
  endif()
endfunction()

if(SITEKIT_FUZZ AND SITEKIT_FUZZ_COVERAGE)
  # Source coverage of the fuzz targets: no sanitizers, so that the counts
  # are those of the code as it runs (the fuzzer's own feedback stays).
  add_compile_options(-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping)
  add_link_options(-fprofile-instr-generate)
elseif(SITEKIT_FUZZ)
  # Every library carries libFuzzer's coverage feedback and the sanitizers;
  # the fuzz targets link the fuzzer's main (sitekit_fuzz_target).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(SITEKIT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

function(sitekit_module name)
  cmake_parse_arguments(M "" "" "SOURCES;HEADERS;LINKS" ${ARGN})
  add_library(${name} STATIC ${M_SOURCES})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/sitekit>)
  if(M_LINKS)
    target_link_libraries(${name} PUBLIC ${M_LINKS})
  endif()
  sitekit_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY SITEKIT_LIBRARIES ${name})
  install(TARGETS ${name} EXPORT sitekitTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  sitekit_publish_headers(${M_HEADERS})
endfunction()

# A library's code may live in more than one folder: the shared library
# siteutil is made in src/lib, and the parts of it that only one module uses
# live in that module's folder, which adds them here. The library keeps its
# name and its installed headers; the folder shows who uses the code.
function(sitekit_module_sources name)
  cmake_parse_arguments(M "" "" "SOURCES;HEADERS" ${ARGN})
  target_sources(${name} PRIVATE ${M_SOURCES})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
  sitekit_publish_headers(${M_HEADERS})
endfunction()

# Installs public headers under include/sitekit/, copies them to the build
# tree's include/sitekit/ and lists them in the umbrella header.
function(sitekit_publish_headers)
  install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sitekit)
  foreach(h IN LISTS ARGN)
    get_filename_component(base ${h} NAME)
    configure_file(${h} ${SITEKIT_GEN_INCLUDE}/sitekit/${base} COPYONLY)
    set_property(GLOBAL APPEND PROPERTY SITEKIT_PUBLIC_HEADERS ${base})
  endforeach()
endfunction()

function(sitekit_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LINKS})
  sitekit_warnings(${name})
  sitekit_static_program(${name})
  if(SITEKIT_FUZZ)
    # The fuzz build is for the fuzz targets; a program is built on request.
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

function(sitekit_write_umbrella_header)
  get_property(headers GLOBAL PROPERTY SITEKIT_PUBLIC_HEADERS)
  set(body "/* sitekit: every public header of the toolkit. Generated by the build. */\n")
  string(APPEND body "#ifndef SITEKIT_SITEKIT_H\n#define SITEKIT_SITEKIT_H\n\n")
  foreach(h IN LISTS headers)
    string(APPEND body "#include \"${h}\"\n")
  endforeach()
  string(APPEND body "\n#endif\n")
  file(CONFIGURE OUTPUT ${SITEKIT_GEN_INCLUDE}/sitekit/sitekit.h CONTENT "${body}")
  install(FILES ${SITEKIT_GEN_INCLUDE}/sitekit/sitekit.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sitekit)
endfunction()

function(sitekit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LINKS} sitekit_testsupport GTest::gtest GTest::gtest_main)
  sitekit_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "SITEKIT_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# Links a program fully static when SITEKIT_STATIC_PROGRAMS is on: it then
# runs inside the daemon's chroot, which holds no shared libraries.
function(sitekit_static_program target)
  if(SITEKIT_STATIC_PROGRAMS)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
