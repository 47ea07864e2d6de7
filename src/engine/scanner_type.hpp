// The Python type of one of the core's scanners (vcf.cpp, bcf.cpp, maf.cpp,
// mutation_tables.cpp): an object that owns the scanner and the batch it reuses, and hands
// out batches through next_batch() until the end, a fault or close(). What differs between
// the types (their arguments, their columns, the values of a fault) stays in their files.
#pragma once

#include "numpy.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "columns.hpp"
#include "heap_type.hpp"
#include "text_stream.hpp"

namespace mutflank::engine {

// The State of a type whose objects keep nothing beside the scanner and its batch.
struct NoState {};

// `Binding` tells what is particular to one type:
//   Scanner, Batch: the core's scanner, whose next(Batch&, bool& more) fills the batch, or
//     gives a fault, and sets `more` false once the input has ended;
//   State: what an object keeps beside them (NoState when nothing);
//   empty(batch): the batch holds nothing to hand out;
//   batch_dict(batch): its dict of columns (nullptr with an exception set);
//   fault_dict(scanner, batch, fault): the dict of a fault (nullptr with an exception set).
template <class Binding> struct ScannerType {
    using Scanner = typename Binding::Scanner;
    using Batch = typename Binding::Batch;
    // What next() gives: std::optional of the scanner's fault.
    using Found =
        decltype(std::declval<Scanner&>().next(std::declval<Batch&>(), std::declval<bool&>()));

    struct Object {
        PyObject_HEAD
        Scanner* scanner; // owned; nullptr before init, at the end, after a fault, once closed
        Batch* batch;     // owned, reused
        typename Binding::State state;
    };

    static Object* of(PyObject* object) noexcept { return reinterpret_cast<Object*>(object); }

    static void release(Object* self) noexcept {
        delete self->scanner;
        self->scanner = nullptr;
        delete self->batch;
        self->batch = nullptr;
    }

    // Replaces what `self` held with `scanner` (which may be nullptr) and a new batch; throws
    // std::bad_alloc.
    static void start(Object* self, std::unique_ptr<Scanner> scanner) {
        release(self);
        self->batch = new Batch();
        self->scanner = scanner.release();
    }

    static PyObject* next_batch(PyObject* object, PyObject* /*unused*/) noexcept {
        return next_as(object, [](const Batch& batch) { return Binding::batch_dict(batch); });
    }

    // next_batch() with the batch handed out as `hand_out(batch)` gives it (a new reference,
    // or nullptr with an exception set) instead of its dict of columns.
    template <class HandOut>
    static PyObject* next_as(PyObject* object, HandOut&& hand_out) noexcept {
        Object* self = of(object);
        if (self->scanner == nullptr)
            Py_RETURN_NONE;
        Found fault;
        bool more = true;
        if (!run_released([&] { fault = self->scanner->next(*self->batch, more); })) {
            release(self);
            return PyErr_NoMemory();
        }
        if (fault) {
            PyObject* result = Binding::fault_dict(*self->scanner, *self->batch, *fault);
            release(self);
            return result;
        }
        if (!more && Binding::empty(*self->batch)) {
            release(self);
            Py_RETURN_NONE;
        }
        PyObject* result = hand_out(*self->batch);
        if (!more)
            release(self); // the last rows: the next call gives None
        return result;
    }

    static PyObject* close(PyObject* object, PyObject* /*unused*/) noexcept {
        release(of(object));
        Py_RETURN_NONE;
    }

    static void dealloc(PyObject* object) noexcept {
        release(of(object));
        free_object(object);
    }

    static constexpr PyMethodDef next_batch_method = {
        "next_batch", next_batch, METH_NOARGS,
        "The next batch: a dict of columns, a dict with 'fault', or None at the end."};

    static constexpr PyMethodDef close_method(const char* doc) {
        return {"close", close, METH_NOARGS, doc};
    }

    // Makes the type `qualified` and adds it to `module` (see heap_type.hpp).
    static bool add(PyObject* module, const char* qualified, const char* doc, initproc init,
                    PyMethodDef* methods) noexcept {
        return add_type(module, qualified, sizeof(Object), doc, init, dealloc, methods);
    }

    // The methods of a text scanner: next_batch() and close().
    static inline PyMethodDef text_methods[] = {
        next_batch_method,
        close_method("Frees the scanner's buffers (not the descriptor)."),
        {nullptr, nullptr, 0, nullptr},
    };

    // add() for a text scanner, with text_methods.
    static bool add_text(PyObject* module, const char* qualified, const char* doc,
                         initproc init) noexcept {
        return add(module, qualified, doc, init, text_methods);
    }
};

// The arguments that tell a text scanner where its text is: the descriptor `fd`, which the
// caller owns; `prefix`, the bytes already read from it; or with `positioned` (a regular file)
// the text from byte `start` on. Parsed with "iy*pK" into fd, &prefix.view, positioned, start.
struct TextSource {
    struct Buffer {
        Py_buffer view{};
        Buffer() = default;
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        ~Buffer() { PyBuffer_Release(&view); }
    };
    int fd = -1;
    Buffer prefix;
    int positioned = 0;
    unsigned long long start = 0;

    // Throws std::bad_alloc.
    [[nodiscard]] TextStream stream() const {
        return TextStream(fd,
                          std::string(static_cast<const char*>(prefix.view.buf),
                                      static_cast<std::size_t>(prefix.view.len)),
                          positioned != 0, start);
    }
};

// The limits of a scanner's batches and lines, parsed with "nnn".
struct Limits {
    Py_ssize_t batch_records = 0;
    Py_ssize_t max_line = 0;
    Py_ssize_t max_field = 0;

    [[nodiscard]] bool valid() const noexcept {
        return batch_records >= 1 && max_line >= 0 && max_field >= 0;
    }

    template <class Settings> void apply(Settings& settings) const {
        settings.batch_records = static_cast<std::size_t>(batch_records);
        settings.max_line_bytes = static_cast<std::size_t>(max_line);
        settings.max_field_bytes = static_cast<std::size_t>(max_field);
    }
};

} // namespace mutflank::engine
