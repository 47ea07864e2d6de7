// parse_vcf_files(vcf_files, ref_genome, context): the module's one function.
#pragma once

#include "py_ref.hpp"

namespace mutflank::py {

// The method record registered on the module: the fast calling convention with keywords,
// and a documentation text that holds only the signature.
extern PyMethodDef parse_vcf_files_method;

} // namespace mutflank::py
