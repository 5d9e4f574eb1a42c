# libyvn2psd: the shared library (exporting the C API only) and one static
# archive holding every subsystem, with the public header, a CMake package
# (find_package(yvn2psd) gives yvn2psd::yvn2psd, and
# yvn2psd::yvn2psd_static) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(YVN_LIB_VERSION ${PROJECT_VERSION})
# The header's version macros and the project's version are one.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/yvn2psd.h yvn_header_version REGEX "^#define YVN2PSD_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE "[^;]*_(MAJOR|MINOR|PATCH) ([0-9]+)" "\\2" yvn_header_version "${yvn_header_version}")
string(REPLACE ";" "." yvn_header_version "${yvn_header_version}")
if(NOT yvn_header_version VERSION_EQUAL PROJECT_VERSION)
  message(FATAL_ERROR "include/yvn2psd.h says ${yvn_header_version}, the project ${PROJECT_VERSION}")
endif()
set(YVN_LIB_SOVERSION 1)
set(yvn_subsystems yvn_api yvn_convert yvn_iio yvn_kzm yvn_chunk yvn_blend yvn_base)

file(GLOB yvn_api_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/api/*.cpp)
add_library(yvn2psd_shared SHARED ${yvn_api_sources})
target_include_directories(yvn2psd_shared PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(yvn2psd_shared PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(yvn2psd_shared PRIVATE YVN2PSD_BUILDING)
target_link_libraries(yvn2psd_shared PRIVATE yvn_convert)
set_target_properties(yvn2psd_shared PROPERTIES
  OUTPUT_NAME yvn2psd EXPORT_NAME yvn2psd VERSION ${YVN_LIB_VERSION} SOVERSION ${YVN_LIB_SOVERSION}
  C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT APPLE)
  # Nothing of the static archives linked in (nor of the C++ runtime) is
  # exported: the library's symbols are its API.
  target_link_options(yvn2psd_shared PRIVATE -Wl,--exclude-libs,ALL)
  if(NOT WIN32)
    target_link_options(yvn2psd_shared PRIVATE -Wl,--no-undefined)
  endif()
endif()
if(WIN32)
  # The DLL runs on its own: libgcc, libstdc++ and winpthread linked in.
  target_link_options(yvn2psd_shared PRIVATE -static)
  set_target_properties(yvn2psd_shared PROPERTIES PREFIX "lib" IMPORT_PREFIX "lib")
endif()

# The static archive: every subsystem's objects in one file.
set(yvn_static ${CMAKE_BINARY_DIR}/${CMAKE_STATIC_LIBRARY_PREFIX}yvn2psd${CMAKE_STATIC_LIBRARY_SUFFIX})
set(mri "create ${yvn_static}\n")
set(archives)
foreach(lib ${yvn_subsystems})
  string(APPEND mri "addlib $<TARGET_FILE:${lib}>\n")
  list(APPEND archives $<TARGET_FILE:${lib}>)
endforeach()
string(APPEND mri "save\nend\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/yvn2psd_static.mri CONTENT "${mri}")
add_custom_command(OUTPUT ${yvn_static}
  COMMAND ${CMAKE_COMMAND} -E remove -f ${yvn_static}
  COMMAND ${CMAKE_AR} -M < ${CMAKE_BINARY_DIR}/yvn2psd_static.mri
  DEPENDS ${yvn_subsystems} ${CMAKE_BINARY_DIR}/yvn2psd_static.mri
  COMMENT "Static library ${CMAKE_STATIC_LIBRARY_PREFIX}yvn2psd${CMAKE_STATIC_LIBRARY_SUFFIX}" VERBATIM)
add_custom_target(yvn2psd_static ALL DEPENDS ${yvn_static})

# What linking the static archive takes besides: the libraries the
# subsystems use.
set(yvn_private_libs "-lz")
set(yvn_private_requires "zlib")
if(YVN_HAVE_LCMS)
  string(APPEND yvn_private_libs " -llcms2")
  string(APPEND yvn_private_requires " lcms2")
endif()
if(ISAL_FOUND)
  string(APPEND yvn_private_libs " -lisal")
  string(APPEND yvn_private_requires " libisal")
endif()
string(APPEND yvn_private_libs " -lstdc++ -lm -lpthread")

install(TARGETS yvn2psd_shared EXPORT yvn2psdTargets COMPONENT lib
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${yvn_static} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/yvn2psd.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT yvn2psdTargets NAMESPACE yvn2psd:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/yvn2psd COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/yvn2psdConfig.cmake.in
  ${CMAKE_BINARY_DIR}/yvn2psdConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/yvn2psd)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/yvn2psdConfigVersion.cmake
  VERSION ${YVN_LIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/yvn2psdConfig.cmake ${CMAKE_BINARY_DIR}/yvn2psdConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/yvn2psd COMPONENT dev)
# Relocatable: the prefix is found from where the file lies.
file(RELATIVE_PATH yvn_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/yvn2psd.pc.in ${CMAKE_BINARY_DIR}/yvn2psd.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/yvn2psd.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
