#include "serialport/Buffer.h"

#include <cstring>

namespace vandrel {

template <class T> uint32_t RingBuffer<T>::capacityFor(unsigned int requestedSize)
{
    const uint32_t size = requestedSize;
    if (size == 0)
        return 4096;
    if ((size & (size - 1)) == 0)
        return size;
    if (size > (1u << 30))
        return 4096;
    uint32_t capacity = 1;
    while (capacity < size)
        capacity <<= 1;
    return capacity;
}

template <class T>
RingBuffer<T>::RingBuffer(unsigned int requestedSize)
    : capacity(capacityFor(requestedSize)), positionMask(capacity - 1), indexMask(2 * capacity - 1),
      storage(new T[capacity])
{
}

template <class T> RingBuffer<T>::~RingBuffer()
{
    delete[] storage;
}

template <class T> unsigned int RingBuffer<T>::write(const T* data, unsigned int size)
{
    uint32_t m = size;
    if (size > capacity) {
        // Only the last `capacity` elements can be kept.
        readIndex = writeIndex;
        data += size - capacity;
        m = capacity;
    } else {
        const uint32_t unused = getUnusedLen();
        if (unused < size)
            readIndex = (readIndex + size - unused) & indexMask; // drop the oldest
    }
    const uint32_t place = writeIndex & positionMask;
    const uint32_t tail = capacity - place;
    if (tail < m) {
        std::memcpy(storage + place, data, tail * sizeof(T));
        std::memcpy(storage, data + tail, (m - tail) * sizeof(T));
    } else {
        std::memcpy(storage + place, data, m * sizeof(T));
    }
    writeIndex = (writeIndex + m) & indexMask;
    return size;
}

template <class T> unsigned int RingBuffer<T>::copyOut(T* data, unsigned int size) const
{
    const uint32_t m = size < getUsedLen() ? size : getUsedLen();
    const uint32_t place = readIndex & positionMask;
    const uint32_t tail = capacity - place;
    if (tail < m) {
        std::memcpy(data, storage + place, tail * sizeof(T));
        std::memcpy(data + tail, storage, (m - tail) * sizeof(T));
    } else {
        std::memcpy(data, storage + place, m * sizeof(T));
    }
    return m;
}

template <class T> unsigned int RingBuffer<T>::read(T* data, unsigned int size)
{
    if (size == 0 || isEmpty())
        return 0;
    const uint32_t m = copyOut(data, size);
    readIndex = (readIndex + m) & indexMask;
    return m;
}

template <class T> unsigned int RingBuffer<T>::peek(T* data, unsigned int size)
{
    if (size == 0 || isEmpty())
        return 0;
    return copyOut(data, size);
}

template <class T> unsigned int RingBuffer<T>::skip(unsigned int size)
{
    if (size == 0 || isEmpty())
        return 0;
    const uint32_t used = getUsedLen();
    if (size < used) {
        readIndex = (readIndex + size) & indexMask;
        return size;
    }
    readIndex = writeIndex;
    return used;
}

template <class T> bool RingBuffer<T>::isFull() const
{
    return writeIndex == (readIndex ^ capacity);
}

template <class T> bool RingBuffer<T>::isEmpty() const
{
    return readIndex == writeIndex;
}

template <class T> unsigned int RingBuffer<T>::getUsedLen() const
{
    return writeIndex >= readIndex ? writeIndex - readIndex : writeIndex + 2 * capacity - readIndex;
}

template <class T> unsigned int RingBuffer<T>::getUnusedLen() const
{
    return capacity - getUsedLen();
}

template <class T> unsigned int RingBuffer<T>::getBufferSize() const
{
    return capacity;
}

template class RingBuffer<char>;

} // namespace vandrel
