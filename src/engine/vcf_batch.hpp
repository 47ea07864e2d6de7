// A VcfBatch and a VcfFault as the Python dicts that inputs/vcf.py reads, the same for the VCF
// scanner (vcf.cpp) and the BCF reader (bcf.cpp).
#pragma once

#include "py_ref.hpp"
#include "vcf_scanner.hpp"

namespace mutflank::engine {

// A dict of NumPy columns (new reference), or nullptr with an exception set.
PyObject* batch_dict(const VcfBatch& batch);

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

} // namespace mutflank::engine
