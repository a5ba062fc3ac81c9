// A growable array of trivially copyable elements on the C heap that reports
// exhausted memory instead of throwing (the layers it serves are compiled
// without exceptions).  A failed growth leaves the contents as they were and
// sets a sticky flag: a caller may run a whole phase and check ok() once.
#pragma once

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

namespace topic_index {

template <class T>
class FlatVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    FlatVector() = default;
    FlatVector(const FlatVector&) = delete;
    FlatVector& operator=(const FlatVector&) = delete;
    FlatVector(FlatVector&& other) noexcept { swap(other); }
    FlatVector& operator=(FlatVector&& other) noexcept {
        swap(other);
        return *this;
    }
    ~FlatVector() { std::free(data_); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    T& front() { return data_[0]; }
    bool ok() const { return ok_; }

    void clear() {
        size_ = 0;
        ok_ = true;
    }
    void pop_back() { --size_; }
    void truncate(size_t size) { size_ = size < size_ ? size : size_; }
    void swap(FlatVector& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(ok_, other.ok_);
    }
    // Gives the memory back.
    void release() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
        ok_ = true;
    }

    bool reserve(size_t wanted) {
        if (wanted <= capacity_) return true;
        size_t grown = capacity_ ? capacity_ : 8;
        while (grown < wanted) {
            if (grown > SIZE_MAX / 2 / sizeof(T)) return fail();
            grown *= 2;
        }
        void* fresh = std::realloc(data_, grown * sizeof(T));
        if (fresh == nullptr) return fail();
        data_ = static_cast<T*>(fresh);
        capacity_ = grown;
        return true;
    }
    bool push_back(const T& value) {
        if (size_ == capacity_ && !reserve(size_ + 1)) return false;
        data_[size_++] = value;
        return true;
    }
    bool append(const T* first, const T* last) {
        const size_t count = static_cast<size_t>(last - first);
        if (count == 0) return true;
        if (!reserve(size_ + count)) return false;
        std::memcpy(static_cast<void*>(data_ + size_), first, count * sizeof(T));
        size_ += count;
        return true;
    }
    bool assign(const T* first, const T* last) {
        clear();
        return append(first, last);
    }
    // Counts the first `size` elements as held after the caller wrote them
    // through data(); `size` is within the reserved capacity.
    void set_size_written(size_t size) { size_ = size; }
    // Grows (zero-filled) or shrinks to `size` elements.
    bool resize(size_t size) {
        if (size > size_) {
            if (!reserve(size)) return false;
            std::memset(static_cast<void*>(data_ + size_), 0, (size - size_) * sizeof(T));
        }
        size_ = size;
        return true;
    }

    // Marks a phase that failed for another reason (a sort without memory)
    // the way a failed growth is marked.  Always false.
    bool fail() {
        ok_ = false;
        return false;
    }

private:

    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool ok_ = true;
};

}  // namespace topic_index
