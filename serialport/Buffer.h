// Byte buffers of the receive path.
#pragma once

#include <cstdint>

namespace vandrel {

template <class T> class Buffer
{
public:
    virtual ~Buffer() = default;
    virtual unsigned int write(const T* data, unsigned int size) = 0;
    virtual unsigned int read(T* data, unsigned int size) = 0;
    virtual unsigned int peek(T* data, unsigned int size) = 0;
    virtual unsigned int skip(unsigned int size) = 0;
    virtual bool isFull() const = 0;
    virtual bool isEmpty() const = 0;
    virtual unsigned int getUsedLen() const = 0;
    virtual unsigned int getUnusedLen() const = 0;
    virtual unsigned int getBufferSize() const = 0;
};

// Fixed-capacity ring buffer that never refuses data: on overflow the oldest bytes are dropped.
// The capacity is a power of two; both indices count modulo twice the capacity, so full and
// empty differ without a spare slot. Not synchronised: callers serialise writers and readers.
template <class T> class RingBuffer : public Buffer<T>
{
public:
    // Capacity rule: 0 gives 4096; a power of two is kept; other sizes round up to the next
    // power of two, except sizes above 2^30 that are not a power of two, which give 4096.
    static uint32_t capacityFor(unsigned int requestedSize);

    explicit RingBuffer(unsigned int requestedSize);
    ~RingBuffer() override;
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    unsigned int write(const T* data, unsigned int size) override; // always returns size
    unsigned int read(T* data, unsigned int size) override;
    unsigned int peek(T* data, unsigned int size) override;
    unsigned int skip(unsigned int size) override;
    bool isFull() const override;
    bool isEmpty() const override;
    unsigned int getUsedLen() const override;
    unsigned int getUnusedLen() const override;
    unsigned int getBufferSize() const override;

private:
    unsigned int copyOut(T* data, unsigned int size) const;

    uint32_t readIndex = 0;
    uint32_t writeIndex = 0;
    uint32_t capacity;
    uint32_t positionMask;
    uint32_t indexMask;
    T* storage;
};

extern template class RingBuffer<char>;

} // namespace vandrel
