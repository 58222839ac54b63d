# What a renderer user installs (the library, its declaration Nimbrel.mi, the
# shared record's header, with the file types, and the guide), the package config that calling
# shaders' builds find, and the release archive (a ZIP on Windows).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The public header, sample_exchange.h (the shared record and the file types), for calling shaders
# and renderers, as Nimbrel::headers.
add_library(nimbrel_headers INTERFACE)
add_library(Nimbrel::headers ALIAS nimbrel_headers)
set_target_properties(nimbrel_headers PROPERTIES EXPORT_NAME headers)
target_include_directories(nimbrel_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/sample>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/nimbrel>)

set(NIMBREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Nimbrel)
set(NIMBREL_DECLARATION_FILE ${CMAKE_INSTALL_INCLUDEDIR}/Nimbrel.mi)

install(TARGETS Nimbrel nimbrel_headers EXPORT NimbrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/Nimbrel.mi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/sample/sample_exchange.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nimbrel)
install(FILES ${PROJECT_SOURCE_DIR}/docs/user-guide.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# On Windows the preview program, with a copy of the library beside it, where
# it loads the library from.
if(WIN32 AND TARGET nimbrel-render)
  install(TARGETS nimbrel-render RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS Nimbrel LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT NimbrelTargets NAMESPACE Nimbrel:: DESTINATION ${NIMBREL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/NimbrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/NimbrelConfig.cmake
  INSTALL_DESTINATION ${NIMBREL_CMAKE_DIR}
  PATH_VARS NIMBREL_DECLARATION_FILE)
# The package holds a 32- or 64-bit library: a build of the other width does
# not take it.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/NimbrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/NimbrelConfig.cmake
  ${PROJECT_BINARY_DIR}/package/NimbrelConfigVersion.cmake DESTINATION ${NIMBREL_CMAKE_DIR})

# The release archive: `cpack` in the build folder.
set(CPACK_PACKAGE_NAME Nimbrel)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Voxel volume lookup shader for the renderer")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/docs/user-guide.md)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(NIMBREL_ARCHIVE ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(NIMBREL_ARCHIVE TGZ)
endif()
set(CPACK_GENERATOR ${NIMBREL_ARCHIVE})
include(CPack)

# The install tree serves a calling shader's build, and the archive holds what
# a renderer user needs.
if(NIMBREL_TESTS)
  # The calling shader is built with the same toolchain file, found as CMake
  # found it: beside the build folder first, then in the sources.
  set(nimbrel_toolchain "")
  if(CMAKE_TOOLCHAIN_FILE)
    foreach(base IN ITEMS ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
      get_filename_component(candidate ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE BASE_DIR ${base})
      if(NOT nimbrel_toolchain AND EXISTS ${candidate})
        set(nimbrel_toolchain ${candidate})
      endif()
    endforeach()
  endif()
  # A list in one argument: '|' for ';'.
  string(REPLACE ";" "|" nimbrel_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_test(NAME package.consumer COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR} -DWORK_DIR=${PROJECT_BINARY_DIR}/package-consumer
    -DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/tests/consumer -DGENERATOR=${CMAKE_GENERATOR}
    -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
    -DTOOLCHAIN=${nimbrel_toolchain} -DCROSSCOMPILING=${CMAKE_CROSSCOMPILING}
    -P ${PROJECT_SOURCE_DIR}/tests/consumer/check_consumer.cmake)
  add_test(NAME package.archive COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR} -DWORK_DIR=${PROJECT_BINARY_DIR}/package-archive
    -DCPACK=${CMAKE_CPACK_COMMAND} -DGENERATOR=${NIMBREL_ARCHIVE}
    -DLIBRARY=$<TARGET_FILE_NAME:Nimbrel> -DWINDOWS=${WIN32} "-DEMULATOR=${nimbrel_emulator}"
    -P ${PROJECT_SOURCE_DIR}/tests/consumer/check_archive.cmake)
endif()
