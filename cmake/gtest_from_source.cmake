# GoogleTest compiled with the project's own compiler and flags, for builds
# that cannot use the installed x86-64 libraries (the 32-bit toolchain files
# set NIMBREL_GTEST_SOURCE_DIR). Afterwards find_package(GTest) anywhere in the
# project finds these targets (GTest::gtest, GTest::gtest_main, GTest::gmock,
# GTest::gmock_main) through a package config written into the build folder.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${NIMBREL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
get_directory_property(nimbrel_gtest_version DIRECTORY ${NIMBREL_GTEST_SOURCE_DIR} DEFINITION GOOGLETEST_VERSION)

set(nimbrel_gtest_config ${CMAKE_BINARY_DIR}/googletest-config)
file(WRITE ${nimbrel_gtest_config}/GTestConfig.cmake
  "# GoogleTest built inside this project from ${NIMBREL_GTEST_SOURCE_DIR}.\n"
  "if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)\n"
  "  set(GTest_FOUND FALSE)\n"
  "  set(GTest_NOT_FOUND_MESSAGE \"GoogleTest targets are missing\")\n"
  "endif()\n")
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${nimbrel_gtest_config}/GTestConfigVersion.cmake
  VERSION ${nimbrel_gtest_version} COMPATIBILITY AnyNewerVersion)
set(GTest_DIR ${nimbrel_gtest_config} CACHE PATH "GoogleTest package config" FORCE)
