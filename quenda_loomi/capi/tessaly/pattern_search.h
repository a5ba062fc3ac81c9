// Pattern positions of the topic module: whether a segment holds a match of
// a pattern part's regular expression.
//
// Rule: every position answers `re.compile(pattern).search(segment)` with the
// `re` module found in sys.modules at that moment and its `compile` as it is
// then, so a replaced module or a replaced compile is called at every
// position.  Only while sys.modules["re"] and its `compile` are the very
// objects seen at module set-up are compiled expressions reused from a small
// bounded cache; compiling again would then give an equal object and no
// caller can tell the difference.
#pragma once

#include <Python.h>

namespace tessaly {

// Remembers `re_module` and its current `compile` as the pair whose results
// may be cached.  0, or -1 with an exception set.
int init_pattern_search(PyObject* re_module);

// 1 when `pattern` (NUL-terminated UTF-8) is found in `segment`, 0 when not;
// -1 with an exception set when a Python call failed.
int pattern_search(const char* pattern, const char* segment);

}  // namespace tessaly
