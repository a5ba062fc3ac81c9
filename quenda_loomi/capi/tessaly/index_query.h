// What a TopicIndex method was given as an event or topic: a Topic, or a str
// read the way Topic(str) reads it, but without registering anything: an
// exact literal is walked from its text, any other is parsed into a private
// record that is freed afterwards.
#pragma once

#include <Python.h>

#include <cstdint>

#include "quenda_loomi/capi/topic_core/subscription_trie.h"
#include "support/python/py_ref.h"

namespace tessaly::index_binding {

// TypeError naming an argument that is neither a Topic nor a str; null.
PyObject* not_topic_or_str(PyObject* argument, const char* name);

class Query {
public:
    Query() = default;
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    // False with TypeError / MemoryError set.
    bool read(PyObject* argument, const char* name);

    // Null for a plain literal given as str.
    evt_topic* record() const { return record_; }
    // The records held that the identity shortcut pairs with what was given.
    void records_like(const topic_index::TopicTrie& trie, topic_index::FlatVector<evt_topic*>* out) const;
    bool plain() const { return record_ == nullptr; }
    const char* literal() const { return literal_; }
    uint64_t length() const { return length_; }

    // The Topic a match result reads: the given one, or for a str a new,
    // unregistered Topic that owns the private parse (made now for a plain
    // literal) with the literal as its private key.  The query's record
    // stays readable while that Topic lives.  New reference or null.
    PyObject* as_topic_object();

private:
    pyutil::Ref topic_;
    pyutil::Ref text_;
    evt_topic* record_ = nullptr;
    evt_topic* private_record_ = nullptr;  // only this query reaches it
    const char* literal_ = nullptr;
    uint64_t length_ = 0;
};

}  // namespace tessaly::index_binding
