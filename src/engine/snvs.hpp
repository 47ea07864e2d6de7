// The SNVs of a VCF scanner's batches counted in the engine (snvs.cpp): the SnvCounter type,
// and the split of a batch into the SNVs it takes and the rows it hands to Python.
#pragma once

#include "py_ref.hpp"

#include <cstdint>

#include "vcf_scanner.hpp"

namespace mutflank::engine {

// The dict of `batch` without its SNVs (batch_dict's columns of the other rows), with what
// became of the SNVs beside them ('snv_samples', 'snv_records', 'snv_missing',
// 'snv_left_out', 'snv_ref'; see the SnvCounter type's doc); the SNVs that passed the REF check
// wait in `counter` (an SnvCounter) for feed_part(index, rows). `lookup(chromosome)` gives the
// number of a chromosome's reference file, added to the counter, or the reason it has none
// (a str). nullptr with an exception set.
PyObject* counted_batch(const VcfBatch& batch, PyObject* counter, std::int64_t index,
                        PyObject* lookup) noexcept;

} // namespace mutflank::engine
