#pragma once

// A set of names for the lookups of the deploy adaptation: views of names kept elsewhere, each with a
// small tag (a kind of reference, or nothing), in one open-addressed table sized when it is built.
// Adding or finding a name allocates nothing, so indexing tens of thousands of names costs a few
// passes over memory rather than one allocation per name. Borrows the names' bytes, which must
// outlive it. One thread changes it at a time; a set that is only read is safe from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "support/programming_error.hpp"

namespace ambrel::metadata::document_edits {

class NameSet {
public:
    // Room for `expected` names without growing.
    explicit NameSet(std::size_t expected) { slots_.resize(capacity_for(expected)); }

    // True when the name was new.
    // Names longer than 4 GiB are a programming error.
    bool insert(std::string_view name, std::uint8_t tag = 0) {
        support::require(name.size() <= kLongestName, "NameSet holds names of at most 4 GiB");
        if ((size_ + 1) * kLoadDenominator > slots_.size() * kLoadNumerator) grow();
        Slot& slot = slots_[find_index(name, tag)];
        if (slot.used) return false;
        slot = Slot{name.data(), static_cast<std::uint32_t>(name.size()), tag, true};
        ++size_;
        return true;
    }
    bool contains(std::string_view name, std::uint8_t tag = 0) const {
        return slots_[find_index(name, tag)].used;
    }
    std::size_t size() const noexcept { return size_; }

private:
    // Sixteen bytes, so that a large table stays small in the caches.
    struct Slot {
        const char* data = nullptr;
        std::uint32_t size = 0;
        std::uint8_t tag = 0;
        bool used = false;

        std::string_view name() const noexcept { return {data, size}; }
    };

    // Spreads the tags over the table (the golden ratio in 64 bits).
    static constexpr std::size_t kTagSpread = 0x9E3779B97F4A7C15ULL;
    static constexpr std::size_t kSmallestTable = 16;
    static constexpr std::size_t kLongestName = 0xFFFF'FFFF;
    // The table grows beyond three quarters full.
    static constexpr std::size_t kLoadNumerator = 3;
    static constexpr std::size_t kLoadDenominator = 4;

    static std::size_t capacity_for(std::size_t expected) noexcept {
        std::size_t capacity = kSmallestTable;
        while (capacity * kLoadNumerator < (expected + 1) * kLoadDenominator) capacity *= 2;
        return capacity;
    }

    // The slot holding the name, or the free slot where it would go (the table is never full).
    std::size_t find_index(std::string_view name, std::uint8_t tag) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = (std::hash<std::string_view>{}(name) ^ (std::size_t{tag} * kTagSpread)) & mask;
        for (;;) {
            const Slot& slot = slots_[at];
            if (!slot.used || (slot.tag == tag && slot.name() == name)) return at;
            at = (at + 1) & mask;
        }
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        size_ = 0;
        for (const Slot& slot : old) {
            if (slot.used) insert(slot.name(), slot.tag);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace ambrel::metadata::document_edits
