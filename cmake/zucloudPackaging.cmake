# Debian packages, one per install component (see the install rules):
#   libzucloud1      the shared library; its Depends come from dpkg-shlibdeps
#   libzucloud-dev   headers, the .so link, CMake package and pkg-config file
#   zucloud-tools    zucloud-upload and its manual page
# scripts/package.sh configures a build for the /usr layout and runs cpack.

set(ZUCLOUD_PACKAGE_CONTACT "zucloud maintainers <zucloud@localhost>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zucloud)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZUCLOUD_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Runtime dependencies are read from the binaries, never written by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# zucloud-upload needs libzucloud.so.1, which no installed package provides
# yet: let dpkg-shlibdeps find it in the build tree (the Depends on
# libzucloud1 comes from the component dependency below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# libzucloud1 ships a shlibs file, so packages built against it get
# "libzucloud1 (>= version)" from their own dpkg-shlibdeps run.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzucloud${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzucloud-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zucloud-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)

include(CPack)

cpack_add_component(runtime
  DISPLAY_NAME "zucloud library"
  DESCRIPTION "DR backup upload to the cloud (shared library)
libzucloud uploads a backup server's disaster-recovery backup files to the
cloud: through the web console's folder service in resumable 4 MiB chunks,
or as Azure block blobs with a completion report.")
cpack_add_component(development
  DISPLAY_NAME "zucloud development files"
  DESCRIPTION "DR backup upload to the cloud (development files)
Headers of the ZUCloudService and ZUCloudAzureService classes, the
libzucloud.so link, the CMake package (find_package(zucloud)) and the
pkg-config file (zucloud.pc)."
  DEPENDS runtime)
cpack_add_component(tools
  DISPLAY_NAME "zucloud command line tool"
  DESCRIPTION "DR backup upload to the cloud (command line tool)
zucloud-upload runs one DR backup upload through libzucloud, as a backup
server's job would, and prints a summary per file."
  DEPENDS runtime)
