#pragma once

#include <cstdint>
#include <vector>

// A set of non-negative indices that finds its lowest member in a few steps at any size: a bitmap,
// and above it one summary bitmap per level whose bits say "the word below holds a member". With
// 10,000 slots that is three words looked at, where a scan would look at every slot.
class IndexSet {
public:
    void Insert(int index);
    void Erase(int index);
    bool Contains(int index) const;
    // The lowest member, or -1 when the set is empty.
    int Lowest() const;

private:
    // Makes room for index in every level; new bits are not members.
    void Reserve(int index);

    // m_levels[0] has one bit per index; each level above one bit per word of the level below, up to
    // a level of one word.
    std::vector<std::vector<std::uint64_t>> m_levels;
};
