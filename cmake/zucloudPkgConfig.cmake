# zucloud.pc for any install layout.
#
# With a relative CMAKE_INSTALL_LIBDIR ("lib", "lib64", "lib/x86_64-linux-gnu")
# the file finds its prefix from its own place, ${pcfiledir}, climbing one
# level per component of <libdir>/pkgconfig, so the tree can be installed
# under another prefix (cmake --install --prefix, DESTDIR, a package unpacked
# into a sysroot) and still give folders that exist. An absolute libdir or
# includedir is written as it is: the file's place then says nothing about
# where the rest of the tree went.
#
# As a script, writes one file for a given layout (the install test uses it):
#   cmake -DOUT=<file> -DPREFIX=<dir> -DLIBDIR=<dir> -DINCLUDEDIR=<dir>
#         -DVERSION=<x.y.z> -P zucloudPkgConfig.cmake

set(_ZUCLOUD_PC_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/zucloud.pc.in")

function(zucloud_write_pc file prefix libdir includedir version)
  if(IS_ABSOLUTE "${libdir}")
    set(ZUCLOUD_PC_PREFIX "${prefix}")
    set(ZUCLOUD_PC_LIBDIR "${libdir}")
  else()
    # "/" stands for the prefix; ABSOLUTE folds "./" and "x/.." away.
    get_filename_component(rooted "/${libdir}" ABSOLUTE)
    file(RELATIVE_PATH up "${rooted}/pkgconfig" "/")
    string(REGEX REPLACE "/+$" "" up "${up}")
    set(ZUCLOUD_PC_PREFIX "\${pcfiledir}/${up}")
    set(ZUCLOUD_PC_LIBDIR "\${prefix}${rooted}")
  endif()
  if(IS_ABSOLUTE "${includedir}")
    set(ZUCLOUD_PC_INCLUDEDIR "${includedir}/zucloud")
  else()
    set(ZUCLOUD_PC_INCLUDEDIR "\${prefix}/${includedir}/zucloud")
  endif()
  set(ZUCLOUD_PC_VERSION "${version}")
  configure_file("${_ZUCLOUD_PC_TEMPLATE}" "${file}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(var OUT PREFIX LIBDIR INCLUDEDIR VERSION)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "zucloudPkgConfig.cmake: -D${var}=... is required")
    endif()
  endforeach()
  zucloud_write_pc("${OUT}" "${PREFIX}" "${LIBDIR}" "${INCLUDEDIR}" "${VERSION}")
endif()
