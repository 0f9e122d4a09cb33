# SPDX-License-Identifier: BSD-2-Clause
# What the system offers beyond POSIX, found by trying it rather than by the
# system's name. Each result is 0 or 1 in a VELMORA_HAVE_* definition that
# the interface target velmora_platform carries; the code keeps a POSIX path
# for every 0. Linked by the filter's objects and the test helpers. A result
# given on the command line (-DVELMORA_HAVE_PIPE2=0) is taken as found, so a
# Linux build can run the fallbacks too.
include(CheckSymbolExists)

# glibc declares pipe2, accept4 and unshare only with _GNU_SOURCE (which g++
# and clang++ define anyway); the BSDs declare them without it.
set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
set(CMAKE_REQUIRED_QUIET ON)
set(velmora_platform_defs "")
# velmora_check_symbol(NAME SYMBOL HEADER...) sets VELMORA_HAVE_NAME to 0 or 1.
function(velmora_check_symbol name symbol)
  check_symbol_exists(${symbol} "${ARGN}" VELMORA_HAVE_${name})
  if(VELMORA_HAVE_${name})
    list(APPEND velmora_platform_defs VELMORA_HAVE_${name}=1)
  else()
    list(APPEND velmora_platform_defs VELMORA_HAVE_${name}=0)
  endif()
  set(velmora_platform_defs "${velmora_platform_defs}" PARENT_SCOPE)
endfunction()
velmora_check_symbol(PIPE2 pipe2 fcntl.h unistd.h)
velmora_check_symbol(ACCEPT4 accept4 sys/socket.h)
velmora_check_symbol(SOCK_CLOEXEC SOCK_CLOEXEC sys/socket.h)
velmora_check_symbol(SOCK_NONBLOCK SOCK_NONBLOCK sys/socket.h)
velmora_check_symbol(SO_ACCEPTCONN SO_ACCEPTCONN sys/socket.h)
velmora_check_symbol(TCP_NODELAY TCP_NODELAY sys/types.h netinet/in.h netinet/tcp.h)
# Mount namespaces and the parent-death signal: the tests that need the first
# skip without it; the test servers do without the second.
velmora_check_symbol(UNSHARE unshare sched.h)
velmora_check_symbol(PRCTL PR_SET_PDEATHSIG sys/prctl.h)
unset(CMAKE_REQUIRED_DEFINITIONS)
unset(CMAKE_REQUIRED_QUIET)

# The descriptor directory of procfs lists a process's open descriptors in
# one read; without it they are probed one by one up to the open-files limit.
if(NOT DEFINED VELMORA_HAVE_PROC_SELF_FD)
  if(IS_DIRECTORY /proc/self/fd)
    set(VELMORA_HAVE_PROC_SELF_FD 1 CACHE INTERNAL "procfs lists open descriptors")
  else()
    set(VELMORA_HAVE_PROC_SELF_FD 0 CACHE INTERNAL "procfs lists open descriptors")
  endif()
endif()
if(VELMORA_HAVE_PROC_SELF_FD)
  list(APPEND velmora_platform_defs VELMORA_HAVE_PROC_SELF_FD=1)
else()
  list(APPEND velmora_platform_defs VELMORA_HAVE_PROC_SELF_FD=0)
endif()

# libsystemd sends the readiness notice to the service manager. AUTO uses it
# when pkg-config finds it; without it no notice is sent.
set(VELMORA_SYSTEMD AUTO CACHE STRING "Send readiness notices through libsystemd: AUTO, ON or OFF")
set_property(CACHE VELMORA_SYSTEMD PROPERTY STRINGS AUTO ON OFF)
set(VELMORA_USE_SYSTEMD OFF)
if(VELMORA_SYSTEMD STREQUAL "ON")
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  set(VELMORA_USE_SYSTEMD ON)
elseif(VELMORA_SYSTEMD STREQUAL "AUTO")
  pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)
  if(SYSTEMD_FOUND)
    set(VELMORA_USE_SYSTEMD ON)
  endif()
elseif(NOT VELMORA_SYSTEMD STREQUAL "OFF")
  message(FATAL_ERROR "VELMORA_SYSTEMD is AUTO, ON or OFF, not '${VELMORA_SYSTEMD}'")
endif()
message(STATUS "velmora: readiness notices through libsystemd: ${VELMORA_USE_SYSTEMD}")

add_library(velmora_platform INTERFACE)
target_compile_definitions(velmora_platform INTERFACE ${velmora_platform_defs})
if(VELMORA_USE_SYSTEMD)
  target_compile_definitions(velmora_platform INTERFACE VELMORA_HAVE_SYSTEMD=1)
  target_link_libraries(velmora_platform INTERFACE PkgConfig::SYSTEMD)
else()
  target_compile_definitions(velmora_platform INTERFACE VELMORA_HAVE_SYSTEMD=0)
endif()
