#include "snv_counter.hpp"

#include <algorithm>
#include <fcntl.h>
#include <iterator>
#include <limits>
#include <numeric>
#include <utility>

#include "allele_class.hpp"
#include "reference_window.hpp"
#include "sbs_channel.hpp"
#include "window_rows.hpp"

namespace mutflank {
namespace {

bool is_base(char letter) noexcept {
    return letter == 'A' || letter == 'C' || letter == 'G' || letter == 'T';
}

// The code of a reference byte as the REF check compares it: a base 0..3 (by value modulo 4),
// N 4, no base 5, off the chromosome 6.
int byte_code(std::int16_t byte) noexcept {
    if (byte < 0)
        return 6;
    if (byte < 16)
        return byte & 3;
    return byte < 20 ? 4 : 5;
}

constexpr std::size_t window_width = 2 * max_snv_flank + 1;

} // namespace

std::optional<ChangedBase> single_changed_base(std::string_view ref,
                                               std::string_view alt) noexcept {
    if (ref.size() != alt.size())
        return std::nullopt;
    const auto [first, last] = differing(ref, alt);
    if (last - first != 1 || !is_base(ref[first]) || !is_base(alt[first]))
        return std::nullopt;
    return ChangedBase{first, ref[first], alt[first]};
}

SnvCounter::SnvCounter(std::vector<int> flanks, std::size_t hold)
    : flanks_(std::move(flanks)), hold_(hold) {}

std::size_t SnvCounter::channels_of(int flank) noexcept {
    std::size_t channels = 6;
    for (int i = 0; i < flank; ++i)
        channels *= 16;
    return channels;
}

void SnvCounter::add_place(std::uint32_t number, std::string path, std::uint64_t length) {
    Place& place = places_[number];
    place.path = std::move(path);
    place.length = length;
    place.fd.reset();
}

bool SnvCounter::has_place(std::uint32_t number) const noexcept {
    return places_.contains(number);
}

std::optional<Error> SnvCounter::read_windows(Place& place, std::span<Snv> snvs,
                                              std::span<const std::size_t> rows) {
    if (!place.fd.valid()) {
        place.fd = UniqueFd(open_reference(AT_FDCWD, place.path.c_str()));
        if (!place.fd.valid())
            return io_error(messages::open_reference);
    }
    starts_.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        starts_[i] = snvs[rows[i]].position - 1 - max_snv_flank;
    window_rows_.resize(rows.size() * window_width);
    if (auto error = read_window_rows(place.fd.get(), place.length, starts_, window_width,
                                      window_rows_))
        return error;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto row = window_rows_.begin() + static_cast<std::ptrdiff_t>(i * window_width);
        std::transform(row, row + static_cast<std::ptrdiff_t>(window_width),
                       snvs[rows[i]].window.begin(), kept_byte);
    }
    return std::nullopt;
}

std::optional<Error> SnvCounter::check(std::span<Snv> snvs, std::span<SnvCheck> checks) {
    // The SNVs of each place in one read: as records come, in runs of one place.
    std::vector<std::size_t> rows;
    std::size_t start = 0;
    while (start < snvs.size()) {
        const std::uint32_t number = snvs[start].place;
        std::size_t end = start;
        while (end < snvs.size() && snvs[end].place == number)
            ++end;
        const auto found = places_.find(number);
        if (found == places_.end())
            return internal_error(messages::unknown_place);
        Place& place = found->second;
        rows.clear();
        for (std::size_t i = start; i < end; ++i) {
            const auto position = static_cast<std::uint64_t>(snvs[i].position);
            if (snvs[i].position < 1 || position > place.length)
                checks[i] = SnvCheck::past_end;
            else
                rows.push_back(i);
        }
        if (!rows.empty()) {
            if (auto error = read_windows(place, snvs, rows))
                return error;
        }
        for (const std::size_t i : rows) {
            const bool same =
                base_code(snvs[i].ref) == byte_code(read_byte(snvs[i].window[max_snv_flank]));
            checks[i] = same ? SnvCheck::same : SnvCheck::differs;
        }
        start = end;
    }
    return std::nullopt;
}

void SnvCounter::feed(std::int64_t input, std::vector<Snv> snvs) {
    Input& state = inputs_[input];
    const std::size_t from = state.held.size();
    state.fed += snvs.size();
    if (state.held.empty())
        state.held = std::move(snvs);
    else
        state.held.insert(state.held.end(), snvs.begin(), snvs.end());
    code_samples(state, from);
}

bool SnvCounter::feed(std::int64_t input, std::vector<Snv> snvs,
                      std::span<const std::int64_t> rows) {
    Input& state = inputs_[input];
    std::uint32_t last_sample = UINT32_MAX;
    std::uint32_t last_code = 0;
    for (Snv& snv : snvs) {
        if (snv.sample >= rows.size() || rows[snv.sample] < 0 ||
            rows[snv.sample] > std::numeric_limits<std::uint32_t>::max())
            return false;
        snv.sample = static_cast<std::uint32_t>(rows[snv.sample]);
        if (snv.sample != last_sample) {
            last_sample = snv.sample;
            last_code = code_of(state, snv.sample);
        }
        snv.code = last_code;
    }
    state.fed += snvs.size();
    if (state.held.size() <= snvs.size()) { // the few SNVs kept back go in front of the new
        snvs.insert(snvs.begin(), state.held.begin(), state.held.end());
        state.held = std::move(snvs);
    } else {
        state.held.insert(state.held.end(), snvs.begin(), snvs.end());
    }
    return true;
}

void SnvCounter::feed_among(std::int64_t input, std::span<const Snv> snvs) {
    Input& state = inputs_[input];
    const auto start = state.held.begin() + static_cast<std::ptrdiff_t>(state.part_start);
    std::vector<Snv> merged;
    merged.reserve(static_cast<std::size_t>(state.held.end() - start) + snvs.size());
    std::merge(start, state.held.end(), snvs.begin(), snvs.end(), std::back_inserter(merged),
               [](const Snv& a, const Snv& b) { return a.line < b.line; });
    state.held.erase(start, state.held.end());
    state.held.insert(state.held.end(), merged.begin(), merged.end());
    state.fed += snvs.size();
    code_samples(state, state.part_start);
}

Result<SnvStep> SnvCounter::step(std::int64_t input, bool final,
                                 std::span<const std::span<std::int64_t>> counts,
                                 std::size_t rows) {
    SnvStep step;
    const auto found = inputs_.find(input);
    if (found == inputs_.end())
        return step;
    Input& state = found->second;
    rows_ = rows;
    beyond_ = false;
    if (final) {
        if (!state.held.empty())
            resolve(state, true, step, counts);
        inputs_.erase(found);
        if (beyond_)
            return internal_error(messages::sample_beyond_rows);
        return step;
    }
    if (state.fed == 0)
        return step;
    state.fed = 0;
    state.part_ends.push_back(state.held.size()); // what this step was fed: one part
    state.part_start = state.held.size();
    if (!state.streaming && state.held.size() > hold_)
        state.streaming = true;
    if (!state.streaming)
        return step;
    // The order of the SNVs not checked yet, part by part, each sample's against its own
    // before.
    for (const std::size_t end : state.part_ends) {
        const std::size_t from = state.checked;
        const std::size_t count = end - from;
        std::vector<std::uint32_t> samples(count);
        std::vector<std::uint32_t> chromosomes(count);
        std::vector<std::int64_t> positions(count);
        for (std::size_t i = 0; i < count; ++i) {
            const Snv& snv = state.held[from + i];
            samples[i] = snv.code;
            chromosomes[i] = snv.chromosome;
            positions[i] = snv.position;
        }
        const std::size_t at = state.merger.check_order(samples, chromosomes, positions);
        if (at != DoubletMerger::none) {
            step.unsorted = state.held[from + at];
            return step;
        }
        state.checked = end;
    }
    state.part_ends.clear();
    resolve(state, false, step, counts);
    if (beyond_)
        return internal_error(messages::sample_beyond_rows);
    return step;
}

void SnvCounter::resolve(Input& state, bool final, SnvStep& step,
                         std::span<const std::span<std::int64_t>> counts) {
    std::vector<Snv>& held = state.held;
    // SNVs alone in their sample (no other of its SNVs at their position or beside it, and
    // none to come that the merger waits for) are singles whatever the others are, counted
    // at once: the merger sorts only the rest.
    const std::vector<std::size_t> rest = count_alone(state, final, step, counts);
    if (rest.empty()) {
        held.clear();
        state.checked = state.part_start = 0;
        return;
    }
    std::vector<std::uint32_t> samples(rest.size());
    std::vector<std::uint32_t> chromosomes(rest.size());
    std::vector<std::int64_t> positions(rest.size());
    std::vector<char> alts(rest.size());
    std::vector<std::int64_t> phases(rest.size());
    for (std::size_t k = 0; k < rest.size(); ++k) {
        const Snv& snv = held[rest[k]];
        samples[k] = snv.code;
        chromosomes[k] = snv.chromosome;
        positions[k] = snv.position;
        alts[k] = snv.alt;
        phases[k] = snv.phase;
    }
    const Resolved resolved =
        state.merger.resolve(HeldSnvs{samples, chromosomes, positions, alts, phases}, final);
    for (const std::size_t k : resolved.again) {
        const Snv& snv = held[rest[k]];
        step.lost.push_back({SnvLoss::duplicate, snv.chromosome, snv.weight});
    }
    for (const std::size_t k : resolved.multi) {
        const Snv& snv = held[rest[k]];
        step.lost.push_back({SnvLoss::multi_base, snv.chromosome, snv.weight});
    }
    for (std::size_t k = 0; k < resolved.firsts.size(); ++k) {
        step.firsts.push_back(held[rest[resolved.firsts[k]]]);
        step.seconds.push_back(held[rest[resolved.seconds[k]]]);
    }
    // Singles counted and the SNVs kept taken in the order held.
    enum Fate : std::uint8_t { gone, single, kept };
    std::vector<std::uint8_t> fates(rest.size(), gone);
    for (const std::size_t k : resolved.singles)
        fates[k] = single;
    for (const std::size_t k : resolved.kept)
        fates[k] = kept;
    std::size_t left = 0;
    for (std::size_t k = 0; k < rest.size(); ++k) {
        if (fates[k] == single)
            count_single(held[rest[k]], step, counts);
        else if (fates[k] == kept)
            held[left++] = held[rest[k]];
    }
    held.resize(left);
    state.checked = left;
    state.part_start = left;
}

std::vector<std::size_t> SnvCounter::count_alone(Input& state, bool final, SnvStep& step,
                                                 std::span<const std::span<std::int64_t>> counts) {
    const std::vector<Snv>& held = state.held;
    const std::size_t count = held.size();
    std::vector<std::size_t> rest;
    // Only where the held SNVs come in order of place (each chromosome in one stretch,
    // positions ascending in it, whatever the samples): a neighbour is then near in the list.
    std::vector<std::uint32_t> finished;
    for (std::size_t i = 1; i < count; ++i) {
        if (held[i].chromosome == held[i - 1].chromosome) {
            if (held[i].position < held[i - 1].position)
                return all_rows(count);
        } else {
            if (std::find(finished.begin(), finished.end(), held[i].chromosome) != finished.end())
                return all_rows(count);
            finished.push_back(held[i - 1].chromosome);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Snv& snv = held[i];
        bool alone = final || !state.merger.may_extend(snv.code, snv.chromosome, snv.position);
        for (std::size_t j = i; alone && j-- > 0;) {
            if (held[j].chromosome != snv.chromosome || held[j].position < snv.position - 1)
                break;
            alone = held[j].code != snv.code;
        }
        for (std::size_t j = i + 1; alone && j < count; ++j) {
            if (held[j].chromosome != snv.chromosome || held[j].position > snv.position + 1)
                break;
            alone = held[j].code != snv.code;
        }
        if (alone)
            count_single(snv, step, counts);
        else
            rest.push_back(i);
    }
    return rest;
}

std::vector<std::size_t> SnvCounter::all_rows(std::size_t count) {
    std::vector<std::size_t> rows(count);
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    return rows;
}

std::uint32_t SnvCounter::code_of(Input& state, std::uint32_t sample) {
    constexpr std::uint32_t unknown = UINT32_MAX;
    if (sample >= state.sample_codes.size())
        state.sample_codes.resize(sample + std::size_t{1}, unknown);
    std::uint32_t& code = state.sample_codes[sample];
    if (code == unknown)
        code = state.merger.sample_numbers.code(sample);
    return code;
}

void SnvCounter::code_samples(Input& state, std::size_t from) {
    for (std::size_t i = from; i < state.held.size(); ++i)
        state.held[i].code = code_of(state, state.held[i].sample);
}

void SnvCounter::count_single(const Snv& snv, SnvStep& step,
                              std::span<const std::span<std::int64_t>> counts) {
    ++step.singles;
    if (snv.sample >= rows_) {
        beyond_ = true;
        return;
    }
    bool counted = false;
    bool unplaced = false;
    std::array<std::int64_t, max_snv_kinds> codes{};
    for (std::size_t k = 0; k < flanks_.size(); ++k) {
        const int flank = flanks_[k];
        std::array<std::int16_t, 2 * max_snv_flank + 1> bytes{};
        std::transform(snv.window.begin(), snv.window.end(), bytes.begin(), read_byte);
        const std::span<const std::int16_t> window(bytes.data() + (max_snv_flank - flank),
                                                   static_cast<std::size_t>(2 * flank + 1));
        const std::int64_t code = sbs_channel(window, snv.ref, snv.alt, flank);
        codes[k] = code;
        if (code >= 0) {
            counts[k][snv.sample * channels_of(flank) + static_cast<std::size_t>(code)] += 1;
            counted = true;
        } else {
            unplaced = true;
        }
    }
    step.counted += counted ? 1 : 0;
    if (unplaced) {
        step.unplaced.push_back(snv);
        step.unplaced_codes.insert(step.unplaced_codes.end(), codes.begin(),
                                   codes.begin() + static_cast<std::ptrdiff_t>(flanks_.size()));
    }
}

} // namespace mutflank
