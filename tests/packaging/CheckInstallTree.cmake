cmake_minimum_required(VERSION 3.25)
# Installs the build tree into PREFIX (emptied first) and checks that every
# file a Linux user expects is there: programs, manual pages, bash completion,
# both desktop entries with their icons, the AppStream file.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}\n${err}")
endif()

set(expected
  bin/corvane
  bin/corvane-emu
  share/bash-completion/completions/corvane
  share/applications/corvane-kit.desktop
  share/applications/corvane-kit-quillon.desktop
  share/icons/hicolor/16x16/apps/corvane-kit.png
  share/icons/hicolor/48x48/apps/corvane-kit.png
  share/icons/hicolor/scalable/apps/corvane-kit-quillon.svg
  share/metainfo/invalid.corvane.kit.metainfo.xml
  share/doc/corvane-kit/manual/index.html)
if(GUI)
  list(APPEND expected bin/corvane-kit)
endif()
set(missing "")
foreach(f ${expected})
  if(NOT EXISTS ${PREFIX}/${f})
    list(APPEND missing ${f})
  endif()
endforeach()
foreach(page corvane corvane-kit corvane-emu)
  if(NOT EXISTS ${PREFIX}/share/man/man1/${page}.1.gz AND NOT EXISTS ${PREFIX}/share/man/man1/${page}.1)
    list(APPEND missing share/man/man1/${page}.1.gz)
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "missing from the install tree ${PREFIX}:\n  ${missing}")
endif()

# Each desktop entry runs the right program and names an icon that is installed.
foreach(entry corvane-kit:corvane-kit corvane-kit-quillon:corvane-kit\ --quillon)
  string(REPLACE ":" ";" parts "${entry}")
  list(GET parts 0 name)
  list(GET parts 1 exec)
  file(STRINGS ${PREFIX}/share/applications/${name}.desktop lines)
  if(NOT "Exec=${exec}" IN_LIST lines)
    message(FATAL_ERROR "${name}.desktop does not run '${exec}': ${lines}")
  endif()
  list(FILTER lines INCLUDE REGEX "^Icon=")
  string(REGEX REPLACE "^Icon=" "" icon "${lines}")
  file(GLOB_RECURSE icons ${PREFIX}/share/icons/hicolor/*/apps/${icon}.*)
  if(NOT icons)
    message(FATAL_ERROR "${name}.desktop names the icon '${icon}', which is not installed")
  endif()
endforeach()
# The two entries are told apart by their names.
file(STRINGS ${PREFIX}/share/applications/corvane-kit-quillon.desktop quillon REGEX "^Name=")
if(NOT quillon STREQUAL "Name=Corvane Quillon Connectivity Kit")
  message(FATAL_ERROR "the Quillon entry is called '${quillon}'")
endif()
message(STATUS "install tree complete: ${PREFIX}")

# Installed as the package installs it (under /usr), the tree passes
# AppStream's own check: every launchable and icon the metainfo file needs is there.
find_program(APPSTREAMCLI appstreamcli)
if(APPSTREAMCLI)
  set(staged ${PREFIX}-staged)
  file(REMOVE_RECURSE ${staged})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${staged} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install with DESTDIR failed (${rc}):\n${err}")
  endif()
  execute_process(COMMAND ${APPSTREAMCLI} validate-tree --no-net ${staged}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate-tree failed:\n${out}\n${err}")
  endif()
  message(STATUS "appstreamcli validate-tree: ${out}")
else()
  message(STATUS "appstreamcli is missing: the AppStream check of the tree is skipped")
endif()
