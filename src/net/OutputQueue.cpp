#include "net/OutputQueue.h"

#include "core/Failure.h"

#include <algorithm>
#include <cstring>
#include <utility>

#ifdef Q_OS_UNIX
#include <sys/mman.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Spare chunks kept for reuse: enough for one busy connection's queue without a system call per
// chunk. Beyond that, a chunk given back is returned to the system at once.
constexpr size_t SpareChunks = 16;

} // namespace

namespace SystemMemory {

char* Map(qint64 size)
{
#ifdef Q_OS_UNIX
    // A mapping of its own: unmapping it returns the memory whatever the heap looks like.
    void* memory = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw Failure{FailureCode::OutOfMemory, QStringLiteral("Out of memory")};
    return static_cast<char*>(memory);
#else
    return new char[size_t(size)];
#endif
}

void Unmap(char* memory, qint64 size)
{
#ifdef Q_OS_UNIX
    munmap(memory, size_t(size));
#else
    Q_UNUSED(size);
    delete[] memory;
#endif
}

void Discard(char* memory, qint64 size)
{
#ifdef Q_OS_LINUX
    madvise(memory, size_t(size), MADV_DONTNEED);
#else
    Q_UNUSED(memory);
    Q_UNUSED(size);
#endif
}

void TrimHeap()
{
#ifdef __GLIBC__
    // glibc keeps freed heap pages for reuse; after a burst that would be its high-water mark.
    malloc_trim(0);
#endif
}

} // namespace SystemMemory

ChunkPool::~ChunkPool()
{
    ReleaseSpare();
}

void ChunkPool::ReleaseSpare()
{
    for (char* chunk : m_spare)
        SystemMemory::Unmap(chunk, ChunkSize);
    m_spare = {};
}

char* ChunkPool::Take()
{
    char* chunk = nullptr;
    if (m_spare.empty()) {
        chunk = SystemMemory::Map(ChunkSize);
    } else {
        chunk = m_spare.back();
        m_spare.pop_back();
    }
    ++m_inUse;
    return chunk;
}

void ChunkPool::Give(char* chunk)
{
    --m_inUse;
    if (m_spare.size() < SpareChunks)
        m_spare.push_back(chunk);
    else
        SystemMemory::Unmap(chunk, ChunkSize);
}

void OutputQueue::Append(const char* data, qint64 size)
{
    while (size > 0) {
        if (m_chunks.empty() || m_tail == ChunkPool::ChunkSize) {
            m_chunks.reserve(m_chunks.size() + 1); // room first: a failed Take leaves nothing half-done
            m_chunks.push_back(m_pool.Take());
            m_tail = 0;
        }
        const qint64 take = std::min(size, ChunkPool::ChunkSize - m_tail);
        std::memcpy(m_chunks.back() + m_tail, data, size_t(take));
        m_tail += take;
        m_size += take;
        m_pool.m_queued += take;
        data += take;
        size -= take;
    }
}

int OutputQueue::Front(NativeSocket::Span* parts, int maxParts) const
{
    const int count = int(std::min(m_chunks.size(), size_t(maxParts)));
    for (int i = 0; i < count; ++i) {
        const qint64 begin = i == 0 ? m_head : 0;
        const qint64 end = size_t(i) + 1 == m_chunks.size() ? m_tail : ChunkPool::ChunkSize;
        parts[i] = {m_chunks[size_t(i)] + begin, end - begin};
    }
    return count;
}

void OutputQueue::Consume(qint64 n)
{
    m_size -= n;
    m_pool.m_queued -= n;
    if (m_size == 0) {
        Clear();
        return;
    }
    size_t done = 0;
    n += m_head;
    while (n >= ChunkPool::ChunkSize) {
        m_pool.Give(m_chunks[done++]);
        n -= ChunkPool::ChunkSize;
    }
    m_chunks.erase(m_chunks.begin(), m_chunks.begin() + qsizetype(done));
    m_head = n;
}

void OutputQueue::Clear()
{
    for (char* chunk : m_chunks)
        m_pool.Give(chunk);
    m_pool.m_queued -= m_size;
    m_chunks = {};
    m_head = 0;
    m_tail = 0;
    m_size = 0;
}

void OutputQueue::Swap(OutputQueue& other)
{
    Q_ASSERT(&m_pool == &other.m_pool);
    m_chunks.swap(other.m_chunks);
    std::swap(m_head, other.m_head);
    std::swap(m_tail, other.m_tail);
    std::swap(m_size, other.m_size);
}
