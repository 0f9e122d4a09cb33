# SPDX-License-Identifier: BSD-2-Clause
# velmora-config.cmake - lets find_package(velmora) find the installed
# libvelmora as the imported target velmora::velmora.
include(${CMAKE_CURRENT_LIST_DIR}/velmora-targets.cmake)
