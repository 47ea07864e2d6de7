// A VcfBatch and a VcfFault as the Python dicts that inputs/vcf.py reads, the same for the VCF
// scanner (vcf.cpp) and the BCF reader (bcf.cpp).
#pragma once

#include "py_ref.hpp"
#include "vcf_scanner.hpp"

namespace mutflank::engine {

// A dict of NumPy columns (new reference), or nullptr with an exception set.
PyObject* batch_dict(const VcfBatch& batch);

// A dict with 'fault' and its values; `at_end`: the input had ended.
PyObject* fault_dict(const VcfFault& fault, bool at_end);

} // namespace mutflank::engine
