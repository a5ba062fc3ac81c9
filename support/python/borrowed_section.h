// Marks code that reads through pointers nothing pins (a record, a trie node,
// a value that Python code could free).  Python code must not run while a
// section is open: every entry point of python_calls.h asks open_borrow()
// first, and checking builds abort there naming both places.
// No Python contact, so Python-free layers and their tests use it too.
#pragma once

namespace pyutil {

// The site of the innermost open section of this thread.  One variable per
// binary: the sections and the checks of a module see the same one.
inline thread_local const char* innermost_borrow = nullptr;

// Sections nest; they are per thread (only the thread holding the
// interpreter lock can be inside one).
class BorrowedSection {
public:
    explicit BorrowedSection(const char* site) noexcept : outer_(innermost_borrow) { innermost_borrow = site; }
    ~BorrowedSection() { innermost_borrow = outer_; }
    BorrowedSection(const BorrowedSection&) = delete;
    BorrowedSection& operator=(const BorrowedSection&) = delete;

private:
    const char* outer_;
};

// The site of the innermost open section of this thread, or null.
inline const char* open_borrow() noexcept { return innermost_borrow; }

}  // namespace pyutil
