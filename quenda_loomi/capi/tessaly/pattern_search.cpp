// Pattern positions (rules in pattern_search.h).
#include "quenda_loomi/capi/tessaly/pattern_search.h"
#include "quenda_loomi/capi/tessaly/python_calls.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "quenda_loomi/capi/tessaly/tessaly.h"

namespace tessaly {
namespace {

using pyutil::Ref;

// The cache lives in the module state (state.pattern_search).
PatternSearchState& cache = state.pattern_search;

// True when sys.modules["re"] and its compile are still the remembered pair.
bool cache_usable() {
    // The import system's own table (sys.modules), read without running the
    // import machinery: only the identity of the entry matters here.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* module = nullptr;
    if (!modules || !PyDict_CheckExact(modules) || python::dict_get_ref("pattern search: sys.modules lookup", modules, state.str_re, &module) <= 0) {
        python::clear_error("pattern search: sys.modules lookup");
        python::xdrop(module);
        return false;
    }
    Ref module_ref(module);
    if (module != cache.re_module) return false;
    // The module's own dict: `re.compile = f` replaces the entry there.
    PyObject* namespace_dict = PyModule_GetDict(module);
    PyObject* compile = nullptr;
    if (!namespace_dict || python::dict_get_ref("pattern search: re.compile lookup", namespace_dict, state.str_compile, &compile) <= 0) {
        python::clear_error("pattern search: re.compile lookup");
        python::xdrop(compile);
        return false;
    }
    Ref compile_ref(compile);
    return compile == cache.compile;
}

// The bound search of the compiled pattern, compiled now when not cached.
// New reference, or null with an exception set.
PyObject* cached_search(const char* pattern) {
    const size_t length = std::strlen(pattern);
    const uint64_t hash = XXH3_64bits(pattern, length);
    const CachedPattern* hit = cache.cache.slot_for(hash);
    if (hit && hit->search && hit->length == length && std::memcmp(hit->pattern, pattern, length) == 0)
        return Py_NewRef(hit->search);
    Ref text(PyUnicode_FromStringAndSize(pattern, static_cast<Py_ssize_t>(length)));
    if (!text) return nullptr;
    Ref compiled(python::call_one("pattern search: compile", cache.compile, text.get()));
    if (!compiled) return nullptr;
    Ref search(python::get_attr("pattern search: bound search", compiled.get(), state.str_search));
    if (!search) return nullptr;
    // Looked up again: the calls above ran Python code.  Without memory the
    // answer is still right, just not kept.
    CachedPattern* slot = cache.cache.slot_for(hash);
    auto* copy = slot ? static_cast<char*>(std::malloc(length + 1)) : nullptr;
    if (copy) {
        std::memcpy(copy, pattern, length + 1);
        char* old_pattern = slot->pattern;
        PyObject* old_search = slot->search;
        *slot = CachedPattern{copy, length, Py_NewRef(search.get())};
        std::free(old_pattern);
        python::release("pattern search: cache slot replaced", old_search);
    }
    return search.release();
}

// Without the cache: import `re`, compile the expression and search, afresh
// at every position.
int search_uncached(const char* pattern, PyObject* text) {
    Ref re_module(python::import("pattern search: import re", "re"));
    if (!re_module) return -1;
    Ref compile(python::get_attr("pattern search: re.compile", re_module.get(), state.str_compile));
    Ref pattern_text(compile ? PyUnicode_FromString(pattern) : nullptr);
    if (!pattern_text) return -1;
    Ref compiled(python::call_one("pattern search: compile", compile.get(), pattern_text.get()));
    if (!compiled) return clear_expression_error() ? 0 : -1;
    Ref search(python::get_attr("pattern search: bound search", compiled.get(), state.str_search));
    if (!search) return -1;
    Ref match(python::call_one("pattern search: search", search.get(), text));
    if (!match) return -1;
    return match.get() != Py_None;
}

}  // namespace

int init_pattern_search(PyObject* re_module) {
    for (auto [slot, text] : {std::pair{&state.str_re, "re"}, std::pair{&state.str_search, "search"},
                              std::pair{&state.str_compile, "compile"}}) {
        PyObject* name = PyUnicode_InternFromString(text);
        if (name == nullptr) return -1;
        python::replace(*slot, name);
    }
    PyObject* compile = python::get_attr("module set-up", re_module, state.str_compile);
    if (!compile) return -1;
    python::replace(cache.compile, compile);
    python::replace(cache.re_module, Py_NewRef(re_module));
    return 0;
}

PyObject* segment_str(const char* segment, uint64_t length) {
    PyObject* text = PyUnicode_DecodeUTF8(segment, static_cast<Py_ssize_t>(length), nullptr);
    if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) python::clear_error("pattern search: segment not UTF-8");
    return text;
}

bool clear_expression_error() {
    if (!PyErr_ExceptionMatches(state.re_error)) return false;
    python::clear_error("pattern search: expression does not compile");
    return true;
}

int pattern_search(const char* pattern, const char* segment, uint64_t length) {
    if (!segment) {  // nothing to search, but the expression is still compiled
        Ref text(PyUnicode_FromString(pattern));
        Ref re_module(text ? python::import("pattern search: import re", "re") : nullptr);
        Ref compile(re_module ? python::get_attr("pattern search: re.compile", re_module.get(), state.str_compile) : nullptr);
        Ref compiled(compile ? python::call_one("pattern search: compile", compile.get(), text.get()) : nullptr);
        return compiled || clear_expression_error() ? 0 : -1;
    }
    // The segment becomes a str before any Python code runs.
    Ref text(segment_str(segment, length));
    if (!text) return PyErr_Occurred() ? -1 : 0;
    if (!cache.compile || !cache_usable()) return search_uncached(pattern, text.get());
    Ref search(cached_search(pattern));
    if (!search) return clear_expression_error() ? 0 : -1;
    Ref match(python::call_one("pattern search: search", search.get(), text.get()));
    if (!match) return -1;
    return match.get() != Py_None;
}

}  // namespace tessaly
