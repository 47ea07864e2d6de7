// The functions of mutflank_tools._engine, one entry each (see README.md).
#pragma once

#include "py_ref.hpp"

namespace mutflank::engine {

// bed.cpp
extern PyMethodDef read_bed_method;

// channels.cpp
extern PyMethodDef sbs_channels_method;
extern PyMethodDef indel_classes_method;

// contexts.cpp
extern PyMethodDef count_contexts_method;

// mutations.cpp
extern PyMethodDef allele_classes_method;
extern PyMethodDef fingerprints_method;
extern PyMethodDef pair_codes_method;
extern PyMethodDef text_lengths_method;

// regions.cpp
extern PyMethodDef inside_regions_method;

// table.cpp
extern PyMethodDef table_rows_method;

// windows.cpp
extern PyMethodDef read_window_rows_method;

// Types, each added to the module by its function (false with an exception set).
// vcf.cpp: VcfScanner
bool add_vcf_scanner(PyObject* module) noexcept;
// bcf.cpp: BcfReader
bool add_bcf_reader(PyObject* module) noexcept;
// doublets.cpp: DoubletMerger
bool add_doublet_merger(PyObject* module) noexcept;
// maf.cpp: MafScanner
bool add_maf_scanner(PyObject* module) noexcept;
// mutation_tables.cpp: MutationTableScanner
bool add_mutation_table_scanner(PyObject* module) noexcept;
// mutations.cpp: MutationSet
bool add_mutation_set(PyObject* module) noexcept;

// SnvCounter (snvs.cpp).
bool add_snv_counter(PyObject* module) noexcept;

} // namespace mutflank::engine
