#include "core/IndexSet.h"

#include <bit>
#include <cstddef>

namespace {

constexpr std::uint64_t Bit(std::size_t position)
{
    return std::uint64_t{1} << (position % 64);
}

} // namespace

void IndexSet::Reserve(int index)
{
    const std::size_t words = std::size_t(index) / 64 + 1;
    if (m_levels.empty())
        m_levels.emplace_back();
    if (m_levels[0].size() >= words)
        return;
    m_levels[0].resize(words);
    for (std::size_t level = 0; m_levels[level].size() > 1; ++level) {
        const std::size_t above = (m_levels[level].size() + 63) / 64;
        if (level + 1 < m_levels.size()) {
            if (m_levels[level + 1].size() < above)
                m_levels[level + 1].resize(above);
            continue;
        }
        // A new top level: it summarises the words the old top already had.
        std::vector<std::uint64_t> top(above);
        for (std::size_t word = 0; word < m_levels[level].size(); ++word) {
            if (m_levels[level][word] != 0)
                top[word / 64] |= Bit(word);
        }
        m_levels.push_back(std::move(top));
    }
}

void IndexSet::Insert(int index)
{
    if (index < 0)
        return;
    Reserve(index);
    std::size_t position = std::size_t(index);
    for (auto& level : m_levels) {
        std::uint64_t& word = level[position / 64];
        const bool wasEmpty = word == 0;
        word |= Bit(position);
        if (!wasEmpty)
            return; // the levels above already say that this word holds a member
        position /= 64;
    }
}

void IndexSet::Erase(int index)
{
    if (!Contains(index))
        return;
    std::size_t position = std::size_t(index);
    for (auto& level : m_levels) {
        std::uint64_t& word = level[position / 64];
        word &= ~Bit(position);
        if (word != 0)
            return; // the word still holds a member: the levels above stay as they are
        position /= 64;
    }
}

bool IndexSet::Contains(int index) const
{
    if (index < 0 || m_levels.empty() || std::size_t(index) / 64 >= m_levels[0].size())
        return false;
    return (m_levels[0][std::size_t(index) / 64] & Bit(std::size_t(index))) != 0;
}

int IndexSet::Lowest() const
{
    if (m_levels.empty() || m_levels.back()[0] == 0)
        return -1;
    std::size_t position = 0;
    for (std::size_t level = m_levels.size(); level-- > 0;)
        position = position * 64 + std::size_t(std::countr_zero(m_levels[level][position]));
    return int(position);
}
