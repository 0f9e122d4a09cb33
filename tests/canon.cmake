# SPDX-License-Identifier: BSD-2-Clause
# Canonicalization and digests: header and body rules, selection, chunking,
# known digests, kept files and the seal hash input.
velmora_unit_test(arc-canon_test arc-canon_test.cc)
# The library's regexec() calls go through a wrapper that can fail them.
target_link_options(arc-canon_test PRIVATE -Wl,--wrap=regexec)
