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

#include "quenda_loomi/capi/topic_core/direct_cache.h"

namespace tessaly {

// The small cache of compiled expressions: direct-mapped, a slot holds one
// pattern's bytes and the bound `search` of its compiled expression; a
// colliding pattern replaces it.  Lives in the module state.
struct CachedPattern {
    char* pattern = nullptr;  // malloc'd copy, NUL-terminated
    size_t length = 0;
    PyObject* search = nullptr;
};

struct PatternSearchState {
    PyObject* re_module = nullptr;  // sys.modules["re"] when the cache may be used
    PyObject* compile = nullptr;    // its `compile` then
    topic_core::DirectCache<CachedPattern, 256> cache;
};

// Remembers `re_module` and its current `compile` as the pair whose results
// may be cached.  0, or -1 with an exception set.
int init_pattern_search(PyObject* re_module);

// 1 when `pattern` (NUL-terminated UTF-8) is found in the segment (`length`
// bytes, NULs included, as re.search sees the str), 0 when not, when the
// segment is not UTF-8 or when the expression does not compile (re.error);
// -1 with the exception set when a Python call failed for another reason
// (KeyboardInterrupt, MemoryError, ...): the caller reports it.  A null
// segment only compiles the expression.
int pattern_search(const char* pattern, const char* segment, uint64_t length);

// The segment as the str `re` searches.  New reference; null without an
// exception for text that is not UTF-8 (nothing can be found in it), null
// with the exception set on failure.
PyObject* segment_str(const char* segment, uint64_t length);

// After a failed compile: true, with the error cleared, when the expression
// itself is at fault (re.error), so it never matches.
bool clear_expression_error();

}  // namespace tessaly
