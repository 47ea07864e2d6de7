#include "vcf_scanner.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mutflank {
namespace {

constexpr std::size_t batch_bytes = std::size_t{64} << 20; // texts of one batch, about
constexpr std::size_t batch_names = 4096;                  // chromosome names of one batch

constexpr std::array<char, 256> make_upper() {
    std::array<char, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return table;
}
constexpr std::array<char, 256> upper_table = make_upper();

void upper_into(std::string_view text, std::string& out) {
    out.resize(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        out[i] = upper_table[static_cast<unsigned char>(text[i])];
}

// The fields of a VCF line are short, so memchr's set-up would cost more than it saves: 16
// bytes are compared at a time (SSE2, which every x86-64 has), else one by one.
void split_tabs(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    const char* data = line.data();
    const std::size_t size = line.size();
    std::size_t start = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i tab = _mm_set1_epi8('\t');
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, tab)));
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(mask));
            fields.emplace_back(data + start, at - start);
            start = at + 1;
            mask &= mask - 1;
        }
    }
#endif
    for (; i < size; ++i) {
        if (data[i] == '\t') {
            fields.emplace_back(data + start, i - start);
            start = i + 1;
        }
    }
    fields.emplace_back(data + start, size - start);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The `at`-th ':'-separated part of a sample's field, or "." when it has fewer parts.
std::string_view subfield(std::string_view text, std::size_t at) {
    std::size_t index = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ':') {
            if (index == at)
                return text.substr(start, i - start);
            ++index;
            start = i + 1;
        }
    }
    return index == at ? text.substr(start) : std::string_view(".");
}

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Decimal digits without leading zeros ("0" for zero).
std::string_view canonical(std::string_view digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view("0") : digits.substr(first);
}

// Compares canonical decimal texts by value.
bool less_than(std::string_view a, std::string_view b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// A canonical decimal of at most 20 digits that fits, or nullopt.
std::optional<std::uint64_t> value_of(std::string_view digits) {
    if (digits.size() > 20)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

VcfFault fault_of(VcfFault::Kind kind, std::uint64_t line, std::uint64_t count = 0,
                  std::uint64_t limit = 0) {
    VcfFault fault{};
    fault.kind = kind;
    fault.line = line;
    fault.count = count;
    fault.limit = limit;
    return fault;
}

constexpr std::int64_t unphased = -1;

// The phase set of a phased genotype in the sample's field `text`: PS + 1 for a PS of at most
// 18 digits, 0 without one (or '.'), `unphased` for any other PS (its phase is not used).
std::int64_t phase_set(std::string_view text, std::optional<std::size_t> ps_at) {
    if (!ps_at)
        return 0;
    const std::string_view ps = subfield(text, *ps_at);
    if (ps == ".")
        return 0;
    if (!all_digits(ps) || ps.size() > 18)
        return unphased;
    return static_cast<std::int64_t>(*value_of(ps)) + 1;
}

bool valid_text(std::string_view text) { return check_utf8(text) != Utf8::invalid; }

// Whether the records of some sample are kept.
bool any_kept(const VcfRowRules& rules) {
    return rules.kept == nullptr || rules.kept->empty() ||
           std::any_of(rules.kept->begin(), rules.kept->end(),
                       [](std::uint8_t flag) { return flag != 0; });
}

} // namespace

void VcfBatch::clear() {
    names.clear();
    line.clear();
    chromosome.clear();
    position.clear();
    ref.clear();
    alt.clear();
    filter.clear();
    id.clear();
    passed.clear();
    carrier_start.assign(1, 0);
    carrier_sample.clear();
    carrier_copies.clear();
    carrier_phase.clear();
    left_out.clear();
}

VcfScanner::VcfScanner(TextStream text, VcfSettings settings)
    : lines_(std::move(text), settings.buffer_bytes, settings.max_line_bytes),
      settings_(std::move(settings)) {}

std::uint32_t VcfRows::name_index(std::string_view name, VcfBatch& batch) {
    if (last_name_ != UINT32_MAX && batch.names[last_name_] == name)
        return last_name_;
    auto [place, added] =
        name_indexes_.try_emplace(std::string(name), static_cast<std::uint32_t>(batch.names.size()));
    if (added)
        batch.names.emplace_back(name);
    last_name_ = place->second;
    return last_name_;
}

void VcfRows::leave_out(LeftOutReason reason, std::uint32_t chromosome, std::uint64_t count,
                        VcfBatch& batch) {
    const std::uint64_t key = (std::uint64_t{static_cast<std::uint8_t>(reason)} << 32) | chromosome;
    auto [place, added] = left_out_indexes_.try_emplace(key, batch.left_out.size());
    if (added)
        batch.left_out.push_back({reason, chromosome, 0});
    batch.left_out[place->second].count += count;
}

void VcfRows::start(VcfBatch& batch) {
    batch.clear();
    name_indexes_.clear();
    left_out_indexes_.clear();
    last_name_ = UINT32_MAX;
}

bool VcfRows::full(const VcfBatch& batch, std::size_t lines, std::size_t batch_records) noexcept {
    return batch.records() >= batch_records || lines >= 4 * batch_records ||
           batch.ref.bytes.size() + batch.alt.bytes.size() + batch.id.bytes.size() +
                   batch.filter.bytes.size() >=
               batch_bytes ||
           batch.names.size() >= batch_names;
}

std::optional<VcfFault> VcfScanner::next(VcfBatch& batch, bool& more) {
    rows_.start(batch);
    return read_records<VcfFault>(
        lines_, more,
        [this](std::uint64_t number, std::string_view line) {
            return number <= settings_.header_lines || line.empty() || line == "\r";
        },
        [this, &batch](std::string_view line) { return record(line, batch); },
        [this, &batch](std::size_t lines) {
            return VcfRows::full(batch, lines, settings_.batch_records);
        });
}

std::optional<VcfFault> VcfScanner::record(std::string_view line, VcfBatch& batch) {
    using Kind = VcfFault::Kind;
    const std::uint64_t number = lines_.number();
    if (line.back() == '\r')
        line.remove_suffix(1);
    split_tabs(line, fields_);
    const std::size_t count = fields_.size();
    if (count < 8)
        return fault_of(Kind::too_few_fields, number, count);
    if (settings_.width != 0 && count != settings_.width)
        return fault_of(Kind::field_count, number, count, settings_.width);
    const std::string_view chrom = fields_[0];
    const std::string_view pos_text = fields_[1];
    const std::string_view ident = fields_[2];
    const std::string_view ref = fields_[3];
    const std::string_view alt_text = fields_[4];
    const std::string_view filter = fields_[6];
    std::optional<std::uint64_t> position;
    if (all_digits(pos_text))
        position = value_of(canonical(pos_text));
    if (!position || *position == 0) {
        VcfFault fault = fault_of(Kind::bad_position, number);
        fault.text = pos_text;
        return fault;
    }
    if (chrom.empty())
        return fault_of(Kind::empty_chromosome, number);
    if (std::max({chrom.size(), ref.size(), alt_text.size(), filter.size()}) >
        settings_.max_field_bytes)
        return fault_of(Kind::field_too_long, number);
    if (!valid_text(chrom) || !valid_text(filter) || !valid_text(ref) || !valid_text(alt_text) ||
        !valid_text(ident))
        return fault_of(Kind::not_utf8, number);
    const bool passed = filter == "PASS" || filter == ".";
    const std::uint64_t alternates =
        static_cast<std::uint64_t>(std::count(alt_text.begin(), alt_text.end(), ',')) + 1;
    held_.clear();
    if (settings_.by_genotype) {
        // The place of GT among the FORMAT keys, if it is one.
        // The places of GT and PS among the FORMAT keys (their first), if they are ones.
        std::optional<std::size_t> at;
        std::optional<std::size_t> ps_at;
        {
            std::size_t index = 0;
            std::string_view keys = fields_[8];
            for (;; ++index) {
                const std::size_t colon = keys.find(':');
                const std::string_view key = keys.substr(0, colon);
                if (key == "GT" && !at)
                    at = index;
                else if (key == "PS" && !ps_at)
                    ps_at = index;
                if (colon == std::string_view::npos)
                    break;
                keys.remove_prefix(colon + 1);
            }
        }
        if (at) {
            for (std::uint32_t s = 0; s < settings_.taken.size(); ++s) {
                const std::uint32_t column = settings_.taken[s];
                const std::string_view field = fields_[9 + column];
                // A call of no alternate allele (0/0, 0|0, GT first): nothing to read.
                if (*at == 0 && (field.size() == 3 || (field.size() > 3 && field[3] == ':')) &&
                    field[0] == '0' && field[2] == '0' && (field[1] == '/' || field[1] == '|'))
                    continue;
                // GT alone, of three bytes (0/0 and the like): the field is the value.
                const bool whole = *at == 0 && field.size() == 3 && field[0] != ':' &&
                                   field[1] != ':' && field[2] != ':';
                const std::string_view text = whole ? field : subfield(field, *at);
                if (text.size() == 3 && is_digit(text[0]) && is_digit(text[2]) &&
                    (text[1] == '/' || text[1] == '|')) {
                    // The common diploid call, such as 0/1 or 1|0.
                    const std::int64_t set =
                        text[1] == '|' ? phase_set(fields_[9 + column], ps_at) : unphased;
                    const auto first = static_cast<std::uint64_t>(text[0] - '0');
                    const auto second = static_cast<std::uint64_t>(text[2] - '0');
                    if (first != 0)
                        held_.push_back({s, first, 0, set});
                    if (second != 0)
                        held_.push_back({s, second, 1, set});
                    if (std::max(first, second) > alternates) {
                        VcfFault fault = fault_of(Kind::allele_beyond, number, alternates);
                        fault.text = text;
                        fault.allele = std::to_string(std::max(first, second));
                        fault.sample = column;
                        return fault;
                    }
                    continue;
                }
                // Phased: a diploid a|b of two numbers or '.' (then within its phase set).
                const std::size_t bar = text.find('|');
                const auto allele_or_dot = [](std::string_view part) {
                    return part == "." || all_digits(part);
                };
                const bool phased = bar != std::string_view::npos &&
                                    allele_or_dot(text.substr(0, bar)) &&
                                    allele_or_dot(text.substr(bar + 1));
                const std::int64_t set =
                    phased ? phase_set(fields_[9 + column], ps_at) : unphased;
                std::string_view largest;
                std::size_t slot = 0;
                std::string_view rest = text;
                for (;; ++slot) {
                    const std::size_t cut = rest.find_first_of("/|");
                    const std::string_view part = rest.substr(0, cut);
                    if (!part.empty() && part != ".") {
                        if (!all_digits(part)) {
                            VcfFault fault = fault_of(Kind::not_a_genotype, number);
                            fault.text = text;
                            fault.sample = column;
                            return fault;
                        }
                        const std::string_view digits = canonical(part);
                        if (digits != "0") {
                            if (largest.empty() || less_than(largest, digits))
                                largest = digits;
                            const auto value = value_of(digits);
                            held_.push_back({s, value.value_or(UINT64_MAX),
                                             static_cast<std::uint8_t>(std::min<std::size_t>(slot, 255)),
                                             set});
                        }
                    }
                    if (cut == std::string_view::npos)
                        break;
                    rest.remove_prefix(cut + 1);
                }
                if (!largest.empty()) {
                    const auto value = value_of(largest);
                    if (!value || *value > alternates) {
                        VcfFault fault = fault_of(Kind::allele_beyond, number, alternates);
                        fault.text = text;
                        fault.allele = largest;
                        fault.sample = column;
                        return fault;
                    }
                }
            }
        }
    }
    const VcfRowRules rules{settings_.by_genotype, settings_.pass_only, &settings_.kept,
                            settings_.texts};
    batch.texts = settings_.texts;
    rows_.add(batch, number, chrom, *position, ref, alt_text, filter, ident, passed, rules, held_);
    return std::nullopt;
}

void VcfRows::add(VcfBatch& batch, std::uint64_t number, std::string_view chrom,
                  std::uint64_t position, std::string_view ref, std::string_view alts,
                  std::string_view filter, std::string_view ident, bool passed,
                  const VcfRowRules& rules, const std::vector<CarriedAllele>& held) {
    // Whether the records of a sample (index into VcfSettings::taken) are kept.
    const auto kept = [&rules](std::uint32_t sample) {
        return rules.kept == nullptr || rules.kept->empty() ||
               (sample < rules.kept->size() && (*rules.kept)[sample] != 0);
    };
    upper_into(ref, upper_ref_);
    const std::uint32_t chromosome = name_index(chrom, batch);
    std::string_view rest = alts;
    for (std::uint64_t index = 1;; ++index) {
        const std::size_t comma = rest.find(',');
        upper_into(rest.substr(0, comma), upper_alt_);
        const std::string_view alt = upper_alt_;
        if (comma != std::string_view::npos)
            rest.remove_prefix(comma + 1);
        // The kept samples that carry the allele, added to the batch (and taken back when the
        // allele gives no row); whether any sample carries it.
        const std::size_t before = batch.carrier_sample.size();
        bool carried = false;
        if (rules.by_genotype) {
            for (const CarriedAllele& allele : held) {
                if (allele.allele != index)
                    continue;
                carried = true;
                if (!kept(allele.sample))
                    continue;
                const auto copy =
                    static_cast<std::uint8_t>(allele.slot < 8 ? 1U << allele.slot : 0U);
                // A phased diploid's haplotypes: 1 the first, 2 the second.
                const std::int64_t haplotype =
                    allele.phase_set == unphased ? 0 : std::int64_t{1} << allele.slot;
                if (batch.carrier_sample.size() > before &&
                    batch.carrier_sample.back() == allele.sample) {
                    batch.carrier_copies.back() |= copy;
                    batch.carrier_phase.back() |= haplotype;
                    continue;
                }
                batch.carrier_sample.push_back(allele.sample);
                batch.carrier_copies.push_back(copy);
                batch.carrier_phase.push_back(haplotype == 0 ? 0
                                                             : haplotype | (allele.phase_set << 2));
            }
        } else {
            carried = true;
            if (kept(0)) {
                batch.carrier_sample.push_back(0);
                batch.carrier_copies.push_back(0);
                batch.carrier_phase.push_back(0);
            }
        }
        const std::uint64_t carriers = batch.carrier_sample.size() - before;
        std::optional<LeftOutReason> reason;
        if (!carried && any_kept(rules))
            reason = LeftOutReason::no_carrier;
        else if (rules.pass_only && !passed)
            reason = LeftOutReason::not_pass;
        else if (alt.empty() || alt == "*" || alt == ".")
            reason = LeftOutReason::not_variant;
        else if (alt.front() == '<' || alt.find_first_of("[]") != std::string_view::npos)
            reason = LeftOutReason::symbolic;
        else if (alt == upper_ref_)
            reason = LeftOutReason::not_variant;
        if (reason || carriers == 0) {
            // No row: a reason counts once for an allele no sample carries, else once per kept
            // carrier (none: the records of samples not kept, passed over; and an allele no
            // sample carries in an input of no kept sample).
            if (reason && (!carried || carriers > 0))
                leave_out(*reason, chromosome, carried ? carriers : 1, batch);
            batch.carrier_sample.resize(before);
            batch.carrier_copies.resize(before);
            batch.carrier_phase.resize(before);
        } else {
            batch.carrier_start.push_back(batch.carrier_sample.size());
            batch.line.push_back(number);
            batch.chromosome.push_back(chromosome);
            batch.position.push_back(position);
            batch.ref.add(upper_ref_);
            batch.alt.add(alt);
            if (rules.texts) {
                batch.filter.add(filter);
                batch.id.add(ident);
            }
            batch.passed.push_back(passed ? 1 : 0);
        }
        if (comma == std::string_view::npos)
            return;
    }
}

} // namespace mutflank
