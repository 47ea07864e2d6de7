#include "doublet_merger.hpp"

#include <algorithm>
#include <numeric>

namespace mutflank {

std::uint32_t NameCodes::code(std::string_view name) {
    const auto found = codes_.find(name);
    if (found != codes_.end())
        return found->second;
    const auto code = static_cast<std::uint32_t>(codes_.size());
    codes_.emplace(std::string(name), code);
    return code;
}

std::uint32_t NumberCodes::code(std::int64_t number) {
    return codes_.try_emplace(number, static_cast<std::uint32_t>(codes_.size())).first->second;
}

namespace {

// The rows by sample code, each sample's in the order of the rows (a counting sort); `ends`
// gets the end of each sample's stretch of the result.
std::vector<std::size_t> rows_by_sample(std::span<const std::uint32_t> sample,
                                        std::vector<std::size_t>& ends) {
    const std::size_t count = sample.size();
    const std::uint32_t samples = count ? *std::max_element(sample.begin(), sample.end()) + 1 : 0;
    ends.assign(samples + 1, 0);
    for (const std::uint32_t s : sample)
        ++ends[s + 1];
    std::partial_sum(ends.begin(), ends.end(), ends.begin());
    std::vector<std::size_t> order(count);
    for (std::size_t row = 0; row < count; ++row)
        order[ends[sample[row]]++] = row;
    ends.erase(ends.end() - 1); // ends[s]: moved on by the sample's rows to its stretch's end
    return order;
}

} // namespace

std::size_t DoubletMerger::check_order(std::span<const std::uint32_t> sample,
                                       std::span<const std::uint32_t> chromosome,
                                       std::span<const std::int64_t> position) {
    const std::size_t count = sample.size();
    std::vector<std::size_t> ends;
    const std::vector<std::size_t> order = rows_by_sample(sample, ends);
    // A stretch: records of one sample on one chromosome, one after the other.
    const auto same_stretch = [&](std::size_t a, std::size_t b) {
        return sample[a] == sample[b] && chromosome[a] == chromosome[b];
    };
    for (std::size_t k = 1; k < count; ++k)
        if (same_stretch(order[k], order[k - 1]) && position[order[k]] < position[order[k - 1]])
            return order[k];
    for (std::size_t k = 0; k < count;) {
        const std::size_t first = order[k];
        while (k + 1 < count && same_stretch(order[k + 1], order[k]))
            ++k;
        const std::size_t last = order[k];
        ++k;
        const std::uint32_t s = sample[first];
        const std::uint32_t c = chromosome[first];
        if (s >= states_.size())
            states_.resize(s + 1);
        State& state = states_[s];
        if (!state.seen) {
            state.seen = true;
            state.chromosome = c;
        } else if (state.chromosome == c) {
            if (position[first] < state.last)
                return first;
        } else if (std::find(state.finished.begin(), state.finished.end(), c) !=
                   state.finished.end()) {
            return first;
        } else {
            state.finished.push_back(state.chromosome);
            state.chromosome = c;
        }
        state.last = position[last];
    }
    return none;
}

namespace {

// Whether the alleles of two phase codes lie on different haplotypes of one phase set.
bool in_trans(std::int64_t first, std::int64_t second) noexcept {
    return first != 0 && second != 0 && (first >> 2) == (second >> 2) &&
           (first & second & 3) == 0;
}

// The phase of the records order[begin .. end) of one position as one code: their haplotype
// bits and phase set when all are phased in one set, else 0 (not known).
std::int64_t position_phase(const HeldSnvs& held, std::span<const std::size_t> rows) noexcept {
    std::int64_t bits = 0;
    std::int64_t set = held.phase[rows[0]] >> 2;
    for (const std::size_t row : rows) {
        const std::int64_t phase = held.phase[row];
        if (phase <= 0 || (phase >> 2) != set)
            return 0;
        bits |= phase & 3;
    }
    return bits | (set << 2);
}

} // namespace

Resolved DoubletMerger::resolve(const HeldSnvs& held, bool final) const {
    Resolved out;
    const std::size_t count = held.sample.size();
    if (final) {
        std::vector<std::int64_t> sorted(held.position.begin(), held.position.end());
        std::sort(sorted.begin(), sorted.end());
        bool near = false;
        for (std::size_t i = 1; i < count && !near; ++i)
            near = sorted[i] - sorted[i - 1] <= 1;
        if (!near) { // no two SNVs side by side, nor at one position, in any sample
            out.singles.resize(count);
            std::iota(out.singles.begin(), out.singles.end(), std::size_t{0});
            return out;
        }
    }
    // The rows sorted by sample, chromosome, position and ALT, equal ones as read: by sample
    // first (a stable counting sort), then each sample's rows sorted where they are not in
    // order already (those of a sorted input are: a pass instead of a sort).
    std::vector<std::size_t> ends;
    std::vector<std::size_t> order = rows_by_sample(held.sample, ends);
    const auto before = [&](std::size_t a, std::size_t b) {
        if (held.chromosome[a] != held.chromosome[b])
            return held.chromosome[a] < held.chromosome[b];
        if (held.position[a] != held.position[b])
            return held.position[a] < held.position[b];
        return held.alt[a] < held.alt[b];
    };
    // Rows in order of place but not of ALT (the alleles of a site written in another order)
    // need only their site's rows sorted.
    const auto before_place = [&](std::size_t a, std::size_t b) {
        if (held.chromosome[a] != held.chromosome[b])
            return held.chromosome[a] < held.chromosome[b];
        return held.position[a] < held.position[b];
    };
    const auto same_site = [&](std::size_t a, std::size_t b) {
        return held.chromosome[a] == held.chromosome[b] && held.position[a] == held.position[b];
    };
    std::size_t start = 0;
    for (const std::size_t end : ends) {
        const auto first = order.begin() + static_cast<std::ptrdiff_t>(start);
        const auto last = order.begin() + static_cast<std::ptrdiff_t>(end);
        if (!std::is_sorted(first, last, before_place)) {
            std::stable_sort(first, last, before);
        } else {
            for (auto site = first; site != last;) {
                auto next = site + 1;
                while (next != last && same_site(*site, *next))
                    ++next;
                if (next - site > 1 && !std::is_sorted(site, next, before))
                    std::stable_sort(site, next, before);
                site = next;
            }
        }
        start = end;
    }
    const auto same_place = [&](std::size_t a, std::size_t b) {
        return held.sample[a] == held.sample[b] && held.chromosome[a] == held.chromosome[b];
    };
    // A sample's mutation written again (the same position and ALT) is counted once.
    std::size_t kept_rows = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t row = order[k];
        if (kept_rows > 0) {
            const std::size_t before = order[kept_rows - 1];
            if (same_place(row, before) && held.position[row] == held.position[before] &&
                held.alt[row] == held.alt[before]) {
                out.again.push_back(row);
                continue;
            }
        }
        order[kept_rows++] = row;
    }
    order.resize(kept_rows);
    const std::size_t rows = order.size();
    // Runs: SNVs of one sample at adjacent (or equal) positions of one chromosome.
    std::vector<std::uint8_t> starts(rows), new_position(rows);
    bool phased = false;
    for (std::size_t k = 0; k < rows; ++k) {
        const std::size_t row = order[k];
        phased = phased || held.phase[row] != 0;
        if (k == 0) {
            starts[k] = new_position[k] = 1;
            continue;
        }
        const std::size_t before = order[k - 1];
        const std::int64_t step = held.position[row] - held.position[before];
        starts[k] = !same_place(row, before) || step > 1;
        new_position[k] = starts[k] || step > 0;
    }
    if (phased) { // two positions in trans are not one run
        std::int64_t previous = 0;
        for (std::size_t k = 0; k < rows;) {
            const std::size_t head = k;
            ++k;
            while (k < rows && !new_position[k])
                ++k;
            const std::int64_t phase =
                position_phase(held, std::span<const std::size_t>(order).subspan(head, k - head));
            if (head > 0 && in_trans(previous, phase))
                starts[head] = 1;
            previous = phase;
        }
    }
    for (std::size_t k = 0; k < rows;) {
        const std::size_t head = k;
        std::size_t positions = 1;
        ++k;
        for (; k < rows && !starts[k]; ++k)
            positions += new_position[k];
        const std::size_t records = k - head;
        const std::size_t end = order[k - 1];
        bool keep = false;
        if (!final) // a run is open while its sample may still add a record beside it
            keep = may_extend(held.sample[end], held.chromosome[end], held.position[end]);
        for (std::size_t at = head; at < k; ++at) {
            const std::size_t row = order[at];
            if (keep)
                out.kept.push_back(row);
            else if (positions == 1)
                out.singles.push_back(row);
            else if (positions == 2 && records == 2)
                (at == head ? out.firsts : out.seconds).push_back(row);
            else
                out.multi.push_back(row);
        }
    }
    return out;
}

} // namespace mutflank
