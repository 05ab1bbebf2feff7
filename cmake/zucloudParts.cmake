# The library is built from parts: one object library per folder of code
# (the six platform parts, session/, folder/, blob/). A part names the parts
# it builds on (USES) and the outside libraries it links (LINKS); nothing
# else. The shared library and the tests' static library link every part.
#
# The declarations are also written to <build>/zucloud_parts.txt, from which
# the layering test (tests/layering_check.py) checks that every #include in a
# part's folder stays inside what the part declares: platform parts do not
# reach the session or the services, folder/ and blob/ never include each
# other, and only the part that links curl (Xerces-C, OpenSSL, nlohmann/json)
# includes its headers.

set_property(GLOBAL PROPERTY ZUCLOUD_PARTS "")
set_property(GLOBAL PROPERTY ZUCLOUD_PART_LINES "")

# zucloud_add_part(<name> FOLDER <dir> SOURCES <file>... [USES <part>...]
#                  [LINKS <imported target>...])
function(zucloud_add_part name)
  cmake_parse_arguments(PART "" "FOLDER" "SOURCES;USES;LINKS" ${ARGN})
  set(target zucloud_${name})
  add_library(${target} OBJECT ${PART_SOURCES})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
  foreach(used ${PART_USES})
    target_link_libraries(${target} PUBLIC zucloud_${used})
  endforeach()
  target_link_libraries(${target} PRIVATE ${PART_LINKS})
  set_property(GLOBAL APPEND PROPERTY ZUCLOUD_PARTS ${target})
  string(REPLACE ";" "," uses "${PART_USES}")
  string(REPLACE ";" "," links "${PART_LINKS}")
  set_property(GLOBAL APPEND PROPERTY ZUCLOUD_PART_LINES
    "${name} ${PART_FOLDER} uses=${uses} links=${links}")
endfunction()

# Writes the declarations for the layering test.
function(zucloud_write_part_list file)
  get_property(lines GLOBAL PROPERTY ZUCLOUD_PART_LINES)
  string(REPLACE ";" "\n" text "${lines}")
  file(WRITE ${file} "${text}\n")
endfunction()
