// A VcfBatch and a VcfFault as the Python dicts that inputs/vcf.py reads, the same for the VCF
// scanner (vcf.cpp) and the BCF reader (bcf.cpp).
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scanner_type.hpp"
#include "vcf_scanner.hpp"

namespace mutflank::engine {

// A dict of NumPy columns (new reference), or nullptr with an exception set.
PyObject* batch_dict(const VcfBatch& batch);

// What the reader left out of the batch, a list of (reason, chromosome, count), the
// chromosome an item of `names` (the list of the batch's names); nullptr with an exception set.
PyObject* left_out_of(const VcfBatch& batch, PyObject* names);

// The ten-column table's rows of the batch's records (table.cpp), written from the batch itself
// without a column of Python objects per record: a dict of the text ('text', bytes), its
// 'rows', the batch's 'records', what `place` left out as table_rows gives it ('dropped',
// 'missing', 'missing_count') and what the reader left out ('left_out', as batch_dict's).
// `samples`: a list of the row's sample text of each of VcfSettings::taken; `build`, `place`
// and the reasons `not_variant` and `symbolic` as table_rows takes them. nullptr with an
// exception set.
PyObject* batch_rows(const VcfBatch& batch, PyObject* samples, PyObject* project,
                     PyObject* build, PyObject* place, PyObject* not_variant,
                     PyObject* symbolic) noexcept;

// A dict with 'fault' and its values; `at_end`: the input had ended.
PyObject* fault_dict(const VcfFault& fault, bool at_end);

// The samples a reader of `columns` sample columns is asked for, into `taken_out` and
// `kept_out`: `taken`, a sequence of column numbers, and `kept`, a flag for each sample (each
// of `taken`, or the one sample without genotypes) or none. False with an exception set,
// whose message starts with `type` and names `beyond` for a column beyond them.
bool samples_of(PyObject* taken, PyObject* kept, bool by_genotype, std::size_t columns,
                const char* type, const char* beyond, std::vector<std::uint32_t>& taken_out,
                std::vector<std::uint8_t>& kept_out);

// What the types of the VCF scanner and of the BCF reader share (see scanner_type.hpp).
template <class Reader, class Kept = NoState> struct VcfBinding {
    using Scanner = Reader;
    using Batch = VcfBatch;
    using State = Kept;

    static bool empty(const VcfBatch& batch) {
        return batch.rows() == 0 && batch.left_out.empty();
    }

    static PyObject* batch_dict(const VcfBatch& batch) { return engine::batch_dict(batch); }

    static PyObject* fault_dict(const Reader& reader, const VcfBatch& /*batch*/,
                                const VcfFault& fault) {
        return engine::fault_dict(fault, reader.at_end());
    }
};

} // namespace mutflank::engine
