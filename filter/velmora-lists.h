// SPDX-License-Identifier: BSD-2-Clause
// velmora-lists.h - peer and internal-host lists: list files and the matching
// of client host names and addresses.
//
// Memory:  the C library's allocator; a list is freed with arcf_list_destroy().
// Errors:  the loaders return false with the system's error text.
// Threads: a loaded list is only read; it belongs to a configuration record.
#ifndef VELMORA_FILTER_VELMORA_LISTS_H
#define VELMORA_FILTER_VELMORA_LISTS_H

#include <sys/socket.h>

// One entry of a list. A list is a pointer to its newest entry (null when
// empty); each entry owns its text and the entries after it.
struct arcf_list {
    char* list_str;        // owns: the entry, NUL-terminated
    arcf_list* list_next;  // owns: the next (older) entry, or null
};

// Adds every line of the file at `path` to *list, in file order, each in front
// of the previous ones. On failure returns false with the system's error text
// in *err; entries added so far stay.
bool arcf_list_load(arcf_list** list, const char* path, const char** err) noexcept;
// Adds a copy of `str` in front of *list; false with *err set when memory runs out.
bool arcf_addlist(arcf_list** list, const char* str, const char** err) noexcept;
// Frees every entry and leaves *list empty.
void arcf_list_destroy(arcf_list** list) noexcept;
// True when `list` admits the (lowered) host name; false for a null list or an
// empty name.
bool arcf_checkhost(const arcf_list* list, const char* host) noexcept;
// True when `list` admits the IPv4 or IPv6 address `ip`; false for a null list
// and for other families.
bool arcf_checkip(const arcf_list* list, const struct sockaddr* ip) noexcept;

#endif  // VELMORA_FILTER_VELMORA_LISTS_H
