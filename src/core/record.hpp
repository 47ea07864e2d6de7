// The rules for one table line: which records count, how the substitution is folded onto
// a pyrimidine reference base, and how the context string is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"
#include "line_fields.hpp"

namespace mutflank {

// A record that passed every check, waiting for its reference window.
struct KeptRecord {
    std::string key;            // field 0, "::", field 1
    std::string ref;            // the reference allele, purines mapped to pyrimidines
    char alt = 0;               // the alternate base, complemented when folded
    bool folded = false;        // the reference allele was a single purine
    bool ascii = false;         // the line was pure ASCII
    std::string path;           // the reference file
    std::uint64_t position = 0; // 1-based
};

enum class Verdict { skip, keep };

// Judges one line, split and found to be valid UTF-8 by LineFields. For a qualifying
// record, fills `record` (its reference file below `root`) and returns Verdict::keep.
// The only error is a position that is not an unsigned decimal number, and only on a
// record that passed every other check.
[[nodiscard]] Result<Verdict> judge_line(const LineFields& line, std::string_view root,
                                         KeptRecord& record);

// Sets `context` to the record's context string, given its reference window and the index
// of the position's own byte in it. The flanks of a folded record are reverse-complemented,
// so that they read along the strand of the folded substitution.
void write_context(const KeptRecord& record, std::string_view window, std::size_t position_index,
                   std::string& context);

} // namespace mutflank
