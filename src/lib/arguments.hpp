// Binding of parse_vcf_files' arguments under the fast calling convention with keywords.
#pragma once

#include <array>

#include "py_ref.hpp"

namespace mutflank::py {

inline constexpr std::size_t parameter_count = 3;
inline constexpr std::array<const char*, parameter_count> parameter_names = {
    "vcf_files", "ref_genome", "context"};

// Fills `bound` (borrowed references, in parameter order) from the positional values and
// the keyword names with their values. Every parameter is required and may be given by
// position or by keyword. Returns false with TypeError set, for the first of: too many
// positional values; a keyword that names no parameter, or a parameter already given
// (keywords in the order given); missing parameters (all of them listed).
[[nodiscard]] bool bind_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                                  std::array<PyObject*, parameter_count>& bound) noexcept;

} // namespace mutflank::py
