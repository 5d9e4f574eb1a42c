# Installation and the Debian package (cpack -G DEB in the build folder).
include(GNUInstallDirs)

if(NOT WIN32)
  yvn_install_man(yvn2psd.1 program)
endif()

# Three packages: the program (which carries the library inside it), the
# runtime library and its development files.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program lib dev)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME yvn2psd)
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libyvn2psd${YVN_LIB_SOVERSION})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libyvn2psd-dev)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
    "Convert layered paintings between the .yvn format and PSD\n yvn2psd converts layered paintings from the native .yvn format to\n PSD files and back, one file or a whole folder at a time.")
set(CPACK_COMPONENT_LIB_DESCRIPTION
    "Library for layered paintings in the .yvn format and PSD\n libyvn2psd converts, reads and writes .yvn and PSD documents.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Development files of libyvn2psd\n The C header, the static library, a CMake package and a pkg-config file.")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libyvn2psd${YVN_LIB_SOVERSION} (= ${PROJECT_VERSION})")
# Desktop integration (desktop/), packed when built: the thumbnailer with the
# MIME type, and the GIMP plug-in. Both carry the library inside them.
if(YVN_BUILD_THUMBNAILER)
  list(APPEND CPACK_COMPONENTS_ALL thumbnailer)
  set(CPACK_DEBIAN_THUMBNAILER_PACKAGE_NAME yvn2psd-thumbnailer)
  set(CPACK_DEBIAN_THUMBNAILER_PACKAGE_DEPENDS "shared-mime-info")
  set(CPACK_COMPONENT_THUMBNAILER_DESCRIPTION
      "Thumbnails and file type of .yvn paintings for file managers\n yvn2psd-thumbnailer draws a PNG of a .yvn painting for freedesktop file\n managers, which also learn the type application/x-yvn.")
endif()
if(YVN_BUILD_GIMP)
  list(APPEND CPACK_COMPONENTS_ALL gimp)
  set(CPACK_DEBIAN_GIMP_PACKAGE_NAME yvn2psd-gimp)
  set(CPACK_DEBIAN_GIMP_PACKAGE_DEPENDS "gimp (>= 2.10)")
  set(CPACK_COMPONENT_GIMP_DESCRIPTION
      "GIMP plug-in that opens and exports .yvn paintings\n Opens every layer of a .yvn painting with its name, position, opacity,\n visibility, blend mode and locks, and exports GIMP images as .yvn.")
endif()

set(CPACK_PACKAGE_NAME yvn2psd)
set(CPACK_PACKAGE_VENDOR "yvn2psd developers")
set(CPACK_PACKAGE_CONTACT "yvn2psd developers <yvn2psd@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Convert layered paintings between the .yvn format and PSD")
set(CPACK_PACKAGE_DESCRIPTION
    "yvn2psd converts layered paintings from the native .yvn format to\n PSD files and back, one file or a whole folder at a time.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The binary needs the C and C++ runtime, zlib and, where linked, LittleCMS 2;
# dpkg-shlibdeps names them with the versions the build linked against.
find_program(YVN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(YVN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6, zlib1g")
  if(YVN_HAVE_LCMS)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", liblcms2-2")
  endif()
endif()
include(CPack)
