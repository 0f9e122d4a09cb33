# SPDX-License-Identifier: BSD-2-Clause
# Sources are listed by name in each directory's CMakeLists.txt, never
# globbed. velmora_require_listed(PATTERN source...) stops the configure when
# a file of the current source directory matching PATTERN is not among the
# sources given, so a file added without its line is never silently left out
# of the build. The directory is read again on every build.
function(velmora_require_listed pattern)
  file(GLOB present RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
  file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(file ${present})
    if(NOT file IN_LIST ARGN)
      message(FATAL_ERROR "${dir}/${file} is not listed in ${dir}/CMakeLists.txt")
    endif()
  endforeach()
endfunction()
