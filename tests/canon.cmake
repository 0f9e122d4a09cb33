# Canonicalization and digests: header and body rules, selection, chunking,
# known digests, kept files and the seal hash input.
velmora_unit_test(arc-canon_test arc-canon_test.cc)
