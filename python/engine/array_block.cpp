#include "python/engine/array_block.hpp"

#include <new>
#include <utility>

namespace vorn::python {
namespace {

struct PyBlock {
    PyObject_HEAD
    std::shared_ptr<const void> owner;
    void* data;
    Py_ssize_t itemsize;
    int ndim;
    char format[2];
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

// An empty block still exports a valid address.
char empty_storage = 0;

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* block = reinterpret_cast<PyBlock*>(self);
    view->obj = Py_NewRef(self);
    view->buf = block->data;
    view->itemsize = block->itemsize;
    view->len = block->shape[0] * (block->ndim == 2 ? block->shape[1] : 1) * block->itemsize;
    view->readonly = 0;
    view->ndim = block->ndim;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? block->format : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? block->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? block->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void block_dealloc(PyObject* self) {
    auto* block = reinterpret_cast<PyBlock*>(self);
    block->owner.~shared_ptr();
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* block_len_getter(PyObject* self, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<PyBlock*>(self)->shape[0]);
}

PyGetSetDef block_getset[] = {
    {"rows", block_len_getter, nullptr, "Number of rows (elements of a 1-D block).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_doc, const_cast<char*>("Engine values exported through the buffer protocol (use numpy.asarray).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {Py_tp_getset, block_getset},
    {0, nullptr},
};

PyType_Spec block_spec = {
    "korvel_vorn._engine.Block",
    static_cast<int>(sizeof(PyBlock)),
    0,
    Py_TPFLAGS_DEFAULT,
    block_slots,
};

PyObject* block_class = nullptr;

}  // namespace

PyObject* block_type() {
    if (block_class == nullptr) {
        block_class = PyType_FromSpec(&block_spec);
        if (block_class == nullptr) return nullptr;
    }
    return Py_NewRef(block_class);
}

PyObject* make_block(std::shared_ptr<const void> owner, const void* data, BlockFormat format, std::size_t rows,
                     std::optional<std::size_t> columns) {
    PyObject* type = block_type();
    if (type == nullptr) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* self = alloc(tp, 0);
    Py_DECREF(type);
    if (self == nullptr) return nullptr;
    auto* block = reinterpret_cast<PyBlock*>(self);
    new (&block->owner) std::shared_ptr<const void>(std::move(owner));
    std::size_t count = rows * columns.value_or(1);
    block->data = count == 0 ? static_cast<void*>(&empty_storage) : const_cast<void*>(data);
    block->itemsize = format == BlockFormat::Bytes ? 1 : 8;
    block->format[0] = static_cast<char>(format);
    block->format[1] = '\0';
    block->ndim = columns ? 2 : 1;
    block->shape[0] = static_cast<Py_ssize_t>(rows);
    block->shape[1] = static_cast<Py_ssize_t>(columns.value_or(1));
    block->strides[0] = block->itemsize * block->shape[1];
    block->strides[1] = block->itemsize;
    return self;
}

}  // namespace vorn::python
