// Reading a TopicIndex method's event or topic argument (index_query.h).
#include "quenda_loomi/capi/tessaly/index_query.h"
#include "quenda_loomi/capi/tessaly/python_calls.h"

#include "quenda_loomi/capi/tessaly/tessaly.h"

namespace tessaly::index_binding {

using pyutil::Ref;

PyObject* not_topic_or_str(PyObject* argument, const char* name) {
    return python::raise(PyExc_TypeError, "Argument '%s' has incorrect type (expected Topic or str, got %.200s)", name,
                        Py_TYPE(argument)->tp_name);
}

Query::~Query() {
    if (private_record_ != nullptr) evt_topic_free(private_record_);
}

bool Query::read(PyObject* argument, const char* name) {
    if (PyObject_TypeCheck(argument, state.Topic)) {
        record_ = as_topic(argument)->header;
        if (record_ == nullptr) return not_initialized(), false;
        topic_ = Ref::borrow(argument);
        literal_ = record_->key;
        length_ = record_->key != nullptr ? record_->key_len : 0;
        return true;
    }
    if (!PyUnicode_CheckExact(argument)) return not_topic_or_str(argument, name), false;
    text_ = Ref::borrow(argument);
    Py_ssize_t size = 0;
    literal_ = PyUnicode_AsUTF8AndSize(argument, &size);
    if (literal_ == nullptr) return false;
    length_ = static_cast<uint64_t>(size);
    if (topic_index::TopicTrie::is_plain_literal(literal_, length_)) return true;
    // Parsed as Topic(str) parses: a literal that does not parse is the
    // same error here.
    private_record_ = evt_topic_new(nullptr, 0, heap_allocator());
    if (private_record_ == nullptr) return PyErr_NoMemory(), false;
    if (evt_topic_parse(private_record_, literal_, length_) != 0) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory!");
        return false;
    }
    record_ = private_record_;
    return true;
}

void Query::records_like(const topic_index::TopicTrie& trie, topic_index::FlatVector<evt_topic*>* out) const {
    if (topic_) trie.records_like(record_, out);
    else trie.records_like_literal(literal_, length_, out);  // no record of ours is ever held
}

PyObject* Query::as_topic_object() {
    if (topic_) return Py_NewRef(topic_.get());
    evt_topic* record = private_record_ ? private_record_ : evt_topic_new(nullptr, 0, heap_allocator());
    if (record == nullptr) return PyErr_NoMemory();
    if (private_record_ == nullptr && length_ != 0 && evt_topic_parse(record, literal_, length_) != 0) {
        evt_topic_free(record);
        return pyutil::fail(PyExc_MemoryError, "Failed to allocate memory!");
    }
    private_record_ = record;  // freed with the query unless the Topic takes it
    if (length_ != 0 && evt_topic_key_privately(record, literal_, length_) != 0) return PyErr_NoMemory();
    PyObject* topic = topic_from_header(record, 1);
    if (topic != nullptr) private_record_ = nullptr;
    return topic;
}

}  // namespace tessaly::index_binding
