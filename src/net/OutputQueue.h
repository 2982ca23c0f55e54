#pragma once

#include "net/NativeSocket.h"

#include <QtGlobal>

#include <vector>

// Memory straight from the system, for buffers whose pages must go back to it when they are done.
namespace SystemMemory {
// Throws Failure when the system has none to give.
char* Map(qint64 size);
void Unmap(char* memory, qint64 size);
// Gives the pages of a mapping back while keeping it usable (it reads as zeros afterwards).
void Discard(char* memory, qint64 size);
// Returns the heap's free pages to the system, where the C library can do that.
void TrimHeap();
} // namespace SystemMemory

// Fixed-size chunks for the unsent output of every socket of one relay. Chunks come straight from
// the system and go back to it, so a burst of queued output leaves no fragmented heap behind; a few
// spare chunks are kept to spare the system calls while data flows.
class ChunkPool {
public:
    static constexpr qint64 ChunkSize = 64 * 1024;

    ChunkPool() = default;
    ~ChunkPool();
    ChunkPool(const ChunkPool&) = delete;
    ChunkPool& operator=(const ChunkPool&) = delete;

    // Throws Failure when the system has no memory to give.
    char* Take();
    void Give(char* chunk);

    // Unsent bytes across every queue of the pool.
    qint64 QueuedBytes() const { return m_queued; }
    // Chunks held from the system, in use or spare.
    qint64 ChunksHeld() const { return m_inUse + qint64(m_spare.size()); }
    // Returns the spare chunks to the system.
    void ReleaseSpare();

private:
    friend class OutputQueue;

    std::vector<char*> m_spare;
    qint64 m_inUse = 0;
    qint64 m_queued = 0;
};

// The unsent output of one socket, in order: a list of chunks from the pool, the first one partly
// sent, the last one partly filled. It holds no memory while empty.
class OutputQueue {
public:
    explicit OutputQueue(ChunkPool& pool)
        : m_pool(pool)
    {
    }
    ~OutputQueue() { Clear(); }
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    qint64 Size() const { return m_size; }
    bool IsEmpty() const { return m_size == 0; }

    void Append(const char* data, qint64 size);
    // Fills parts with up to maxParts pieces of the unsent bytes, front first; returns how many.
    int Front(NativeSocket::Span* parts, int maxParts) const;
    // Drops n bytes from the front (n <= Size()), giving emptied chunks back.
    void Consume(qint64 n);
    void Clear();
    // Exchanges contents with another queue of the same pool.
    void Swap(OutputQueue& other);

private:
    ChunkPool& m_pool;
    std::vector<char*> m_chunks;
    qint64 m_head = 0; // sent bytes at the start of the first chunk
    qint64 m_tail = 0; // filled bytes of the last chunk
    qint64 m_size = 0;
};
