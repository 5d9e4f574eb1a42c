# GoogleTest for the test suite. A native build uses the installed package; a
# cross build (Windows with MinGW-w64) compiles the sources that Debian's
# googletest package ships in /usr/src/googletest, since the installed
# libraries are built for the host.
if(CMAKE_CROSSCOMPILING)
  set(YVN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  if(NOT EXISTS ${YVN_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${YVN_GTEST_SOURCE_DIR} (Debian package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  # SYSTEM keeps warnings of GoogleTest's own headers out of the test builds.
  if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.25)
    add_subdirectory(${YVN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    add_subdirectory(${YVN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
