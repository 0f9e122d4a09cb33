// SPDX-License-Identifier: BSD-2-Clause
// velmora-securefile.h - the safety check of the private-key file, and the
// lock that serialises the user and group databases.
//
// Memory:  nothing kept.
// Errors:  the result and a message in the caller's buffer.
// Threads: the user and group databases are used only under passwd_lock.
#ifndef VELMORA_FILTER_VELMORA_SECUREFILE_H
#define VELMORA_FILTER_VELMORA_SECUREFILE_H

#include <cstddef>
#include <cstdint>
#include <mutex>

// Serialises every use of the user and group databases. Usable from program
// start. Lock order: conf_lock before passwd_lock, never the other way.
extern std::mutex passwd_lock;

// Decides whether the file at `path`, and every directory above it, can be
// changed or read only by the user `myuid` (all-ones: the effective uid) and
// the superuser, and whether every symbolic link followed on the way sits in
// a directory that passes the same test. Returns 1 when safe; 0 when not, with the reason in `err`
// (cut to errlen; err may be null); -1 when a lookup, realpath() or stat()
// failed. *ino gets the file's inode number, or all-ones after a directory
// that only its owner can search.
int arcf_securefile(const char* path, uint64_t* ino, uint32_t myuid, char* err,
                    size_t errlen) noexcept;

#endif  // VELMORA_FILTER_VELMORA_SECUREFILE_H
