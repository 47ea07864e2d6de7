#include "mutation_set.hpp"

#include <algorithm>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace mutflank {

void Fingerprinter::add(std::string_view text) {
    const std::uint64_t size = text.size();
    bytes_.append(reinterpret_cast<const char*>(&size), sizeof size);
    bytes_.append(text);
}

Fingerprint Fingerprinter::of(std::int64_t input, std::string_view sample,
                              std::string_view chromosome, std::uint64_t position,
                              std::string_view ref, std::string_view alt) {
    bytes_.clear();
    bytes_.append(reinterpret_cast<const char*>(&input), sizeof input);
    bytes_.append(reinterpret_cast<const char*>(&position), sizeof position);
    add(sample);
    add(chromosome);
    add(ref);
    add(alt);
    const XXH128_hash_t hash = XXH3_128bits(bytes_.data(), bytes_.size());
    return {hash.low64, hash.high64};
}

bool MutationSet::insert(Fingerprint fingerprint) {
    if (fingerprint == Fingerprint{}) {
        const bool added = !holds_zero_;
        holds_zero_ = true;
        size_ += added ? 1 : 0;
        return added;
    }
    if (2 * (size_ + 1) > slots_.size())
        grow(size_ + 1);
    const std::size_t mask = slots_.size() - 1;
    // The words are a hash already: the first one places the slot.
    for (std::size_t at = fingerprint.first & mask;; at = (at + 1) & mask) {
        Fingerprint& slot = slots_[at];
        if (slot == fingerprint)
            return false;
        if (slot == Fingerprint{}) {
            slot = fingerprint;
            ++size_;
            return true;
        }
    }
}

void MutationSet::insert(std::span<const std::uint64_t> first,
                         std::span<const std::uint64_t> second, std::span<std::uint8_t> is_new) {
    constexpr std::size_t ahead = 16;
    const std::size_t count = first.size();
    if (2 * (size_ + count) > slots_.size())
        grow(size_ + count); // no growth on the way: the slots fetched ahead stay the slots
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + ahead < count)
            __builtin_prefetch(&slots_[first[i + ahead] & mask]);
        is_new[i] = insert({first[i], second[i]}) ? 1 : 0;
    }
}

void MutationSet::grow(std::size_t size) {
    std::size_t slots = slots_.empty() ? 1024 : 2 * slots_.size();
    while (slots < 2 * size)
        slots *= 2;
    std::vector<Fingerprint> old(slots);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Fingerprint& fingerprint : old) {
        if (fingerprint == Fingerprint{})
            continue;
        std::size_t at = fingerprint.first & mask;
        while (!(slots_[at] == Fingerprint{}))
            at = (at + 1) & mask;
        slots_[at] = fingerprint;
    }
}

void MutationSet::clear() noexcept {
    slots_.clear();
    slots_.shrink_to_fit();
    size_ = 0;
    holds_zero_ = false;
}

bool OrderedMutations::follows(Lane& lane, std::uint32_t chromosome, std::uint64_t position) {
    if (!lane.started) {
        lane.started = true;
    } else if (chromosome == lane.chromosome) {
        if (position < lane.position)
            return false;
        if (position == lane.position)
            return true;
    } else {
        if (std::find(lane.finished.begin(), lane.finished.end(), chromosome) !=
            lane.finished.end())
            return false;
        lane.finished.push_back(lane.chromosome);
    }
    lane.chromosome = chromosome;
    lane.position = position;
    lane.group.clear();
    return true;
}

void OrderedMutations::unsort(Lane& lane) {
    for (const Fingerprint& fingerprint : lane.kept)
        unordered_.insert(fingerprint);
    lane.sorted = false;
    std::vector<Fingerprint>().swap(lane.kept);
    std::vector<Fingerprint>().swap(lane.group);
    std::vector<std::uint32_t>().swap(lane.finished);
}

void OrderedMutations::insert(const Rows& rows, std::span<std::uint8_t> is_new) {
    Lane* lane = nullptr;
    std::int64_t lane_code = 0;
    for (std::size_t i = 0; i < rows.first.size(); ++i) {
        if (lane == nullptr || rows.lane[i] != lane_code) {
            lane_code = rows.lane[i];
            lane = &lanes_[lane_code];
        }
        const Fingerprint fingerprint{rows.first[i], rows.second[i]};
        if (lane->sorted && (!follows(*lane, rows.chromosome[i], rows.position[i]) ||
                             lane->group.size() >= group_limit))
            unsort(*lane);
        if (!lane->sorted) {
            is_new[i] = unordered_.insert(fingerprint) ? 1 : 0;
            continue;
        }
        const bool seen = std::find(lane->group.begin(), lane->group.end(), fingerprint) !=
                          lane->group.end();
        is_new[i] = seen ? 0 : 1;
        if (!seen) {
            lane->group.push_back(fingerprint);
            lane->kept.push_back(fingerprint);
        }
    }
}

bool OrderedMutations::in_order(std::int64_t lane) const {
    const auto found = lanes_.find(lane);
    return found == lanes_.end() || found->second.sorted;
}

std::size_t OrderedMutations::size() const noexcept {
    std::size_t size = unordered_.size();
    for (const auto& [code, lane] : lanes_)
        size += lane.kept.size();
    return size;
}

} // namespace mutflank
