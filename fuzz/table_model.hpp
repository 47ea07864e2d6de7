// An independent, deliberately plain model of the table rules (lines, fields, filters,
// folding, the position column, the row texts), used by the table fuzz target to check the
// scanner's answers. It reads whole texts at once and favours obviousness over speed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "mutflank_core.hpp"
#include "window_model.hpp"

namespace mutflank::fuzz {

// A chromosome file of the fixed reference folder, as the model knows it.
struct ModelFile {
    enum class Kind { regular, directory, fifo } kind = Kind::regular;
    std::string bytes;
};

// (build, chromosome) -> file. Anything else does not exist, unless its name leaves the
// build folder (a "/" in the chromosome), which the model does not follow.
using ModelReference = std::map<std::pair<std::string, std::string>, ModelFile>;

// The scan's expected outcome: rows, then success or one of the allowed errors. `unknown`
// means the model cannot tell what happens after its rows (a record named a file outside the
// reference folder); the rows before that still have to match.
struct ModelScan {
    std::vector<Row> rows;
    bool success = false;
    std::vector<Error> allowed_errors;
    bool unknown = false;
};

inline bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        std::uint32_t smallest = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
            smallest = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
            smallest = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (d & 0x3F);
        }
        if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

inline bool is_ascii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// The position column: optional "+", then digits; the first offending character from the
// left decides between a non-digit and an overflow.
inline Result<std::uint64_t> model_position(std::string_view text) {
    if (text.empty())
        return internal_error(messages::position_empty);
    if (text[0] == '+')
        text.remove_prefix(1);
    if (text.empty())
        return internal_error(messages::position_invalid_digit);
    unsigned __int128 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return internal_error(messages::position_invalid_digit);
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > ~std::uint64_t{0})
            return internal_error(messages::position_overflow);
    }
    return static_cast<std::uint64_t>(value);
}

inline std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', from);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(from));
            return fields;
        }
        fields.push_back(line.substr(from, tab - from));
        from = tab + 1;
    }
}

inline ModelScan model_scan(std::string_view table, const ModelReference& reference,
                            std::uint64_t half_width) {
    ModelScan out;
    // Lines: split at every line feed; a last piece after the final line feed counts only when
    // it is not empty; a carriage return is removed only directly before a line feed.
    std::vector<std::string_view> lines;
    std::size_t from = 0;
    while (from < table.size()) {
        const std::size_t lf = table.find('\n', from);
        if (lf == std::string_view::npos) {
            lines.push_back(table.substr(from));
            break;
        }
        std::string_view line = table.substr(from, lf - from);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        from = lf + 1;
    }

    for (const std::string_view line : lines) {
        if (!valid_utf8(line)) {
            out.allowed_errors = {io_error(messages::read_line)};
            return out;
        }
        const std::vector<std::string_view> f = split_tabs(line);
        if (f.size() < 10)
            continue;
        const std::string_view ref = f[8];
        const std::string_view alt = f[9];
        const bool alt_is_base = alt == "A" || alt == "C" || alt == "G" || alt == "T";
        const bool folded = (ref == "G" || ref == "A") && alt_is_base;
        std::string ref_folded;
        for (const char c : ref)
            ref_folded += c == 'A' ? 'T' : c == 'G' ? 'C' : c;
        std::string alt_folded(alt);
        if (folded)
            alt_folded = std::string(1, model_complement(alt[0]));
        if (f[3] != "GRCh37" && f[3] != "GRCh38")
            continue;
        if (f[4] != "SNP" && f[4] != "SNV")
            continue;
        if (!alt_is_base)
            continue;
        if (ref_folded == alt_folded)
            continue;
        const auto position = model_position(f[6]);
        if (!position.ok()) {
            out.allowed_errors = {position.error()};
            return out;
        }
        const std::string_view chromosome = f[5];
        if (chromosome.find('/') != std::string_view::npos) {
            out.unknown = true;
            return out;
        }
        const auto file = reference.find({std::string(f[3]), std::string(chromosome)});
        if (chromosome.find('\0') != std::string_view::npos || file == reference.end()) {
            out.allowed_errors = {io_error(messages::open_reference)};
            return out;
        }
        const WindowExpectation e =
            expect_window(position.value(), half_width, file->second.bytes.size());
        if (file->second.kind == ModelFile::Kind::fifo) {
            out.allowed_errors = {io_error(messages::seek)};
            return out;
        }
        if (file->second.kind == ModelFile::Kind::directory) {
            // Whether a directory accepts the seek depends on the file system; reading it
            // never works. A window too long to hold may be noticed before the read.
            out.allowed_errors = {io_error(messages::seek), io_error(messages::read_window),
                                  internal_error(messages::capacity_overflow)};
            return out;
        }
        if (!e.may_succeed) {
            if (e.may_fail_seek)
                out.allowed_errors.push_back(io_error(messages::seek));
            if (e.may_fail_read)
                out.allowed_errors.push_back(io_error(messages::read_window));
            if (e.may_overflow)
                out.allowed_errors.push_back(internal_error(messages::capacity_overflow));
            return out;
        }
        std::string left;
        std::string right;
        model_flanks(std::string_view(file->second.bytes)
                         .substr(static_cast<std::size_t>(e.start),
                                 static_cast<std::size_t>(e.length)),
                     e.position_index, left, right);
        if (folded) {
            std::string new_left = reverse_complement(right);
            right = reverse_complement(left);
            left = std::move(new_left);
        }
        Row row;
        row.key = std::string(f[0]) + "::" + std::string(f[1]);
        row.context = left + "[" + ref_folded + ">" + alt_folded + "]" + right;
        out.rows.push_back(std::move(row));
    }
    out.success = true;
    return out;
}

} // namespace mutflank::fuzz
