# yvn_library(<name> DEPS <targets...>)
# One static library per subsystem folder, built from every .cpp in it
# (main.cpp excluded), with the src/ folder as the include root.
function(yvn_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# yvn_test(<name> SOURCES <files...> LIBS <targets...>)
# A GoogleTest executable registered with CTest. Tests find the shared PSD
# corpus through YVN_PSD_CORPUS, fixtures through YVN_TEST_DATA and the
# built program through YVN2PSD_EXE.
function(yvn_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  set(env "YVN_PSD_CORPUS=${YVN_PSD_CORPUS}"
          "YVN_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data"
          "YVN2PSD_EXE=$<TARGET_FILE:yvn2psd>"
          "YVN_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  # A list handed through gtest_discover_tests' PROPERTIES loses its
  # separators (every entry after the first became a property name), so the
  # environment is set by a file CTest reads after the discovered tests.
  # Cross builds list their tests when CTest runs, not while building: the
  # build then needs no emulator.
  if(CMAKE_CROSSCOMPILING)
    set(mode PRE_TEST)
  else()
    set(mode POST_BUILD)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE ${mode} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 240)
  set(env_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_env.cmake)
  file(GENERATE OUTPUT ${env_file} CONTENT
       "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"${env}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${env_file})
endfunction()

# Installs man/<page> into man1, compressed as Debian installs manual pages
# with no name or time stamp inside, so that the package is reproducible.
function(yvn_install_man page component)
  set(src ${PROJECT_SOURCE_DIR}/man/${page})
  find_program(YVN_GZIP gzip)
  if(NOT YVN_GZIP)
    install(FILES ${src} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
    return()
  endif()
  set(gz ${CMAKE_BINARY_DIR}/${page}.gz)
  add_custom_command(OUTPUT ${gz} COMMAND ${YVN_GZIP} -9nc ${src} > ${gz} DEPENDS ${src} VERBATIM)
  string(REPLACE "." "_" target "man_${page}")
  add_custom_target(${target} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
