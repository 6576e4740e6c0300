// Follows a byte stream through a path that may lose bytes (a purge, a close, a buffer nobody
// reads) but must never invent, repeat or reorder one: whatever comes out has to be pieces of the
// stream, each found after the one before. A purge can fall between two reads that end up side by
// side in one chunk, so a gap may also lie inside a chunk.
//
// A piece of 16 bytes or more is found by its content, which a random stream makes unique: such
// a piece that was invented, repeated or moved is always caught. Shorter pieces between two gaps
// can only be checked for their order (each byte somewhere after the one before); where several
// come in a row, each but the last has to be found whole.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace serialtest {

class StreamChecker
{
public:
    using ByteAt = char (*)(std::uint64_t position);
    explicit StreamChecker(ByteAt byteAt) : byteAt(byteAt) {}

    // Takes the next chunk that came out; `available` is how many bytes of the stream exist so
    // far. False once a piece fits nowhere after the previous one (`problem()` says where; only
    // the first problem is kept).
    bool take(const char* data, std::size_t size, std::uint64_t available)
    {
        if (!problemText.empty())
            return false;
        std::uint64_t at = next; // the stream position of data[done]
        std::size_t done = 0;
        for (;;) {
            const std::size_t same = matchingLength(at, data + done, size - done);
            done += same;
            at += same;
            if (done == size)
                break;
            const std::uint64_t resumed = resume(data + done, size - done, at, available);
            if (resumed == kNowhere)
                return fail(data + done, size - done, at);
            if (resumed > everyByteFrom && resumed > at) {
                problemText =
                    "bytes were lost where none may be, before stream position " + std::to_string(resumed);
                return false;
            }
            ++gapCount;
            done += shortPieceLength; // a short piece in front is behind us: go on with the long one
            at = resumed;
        }
        next = at;
        taken += size;
        return true;
    }

    // From here on the stream comes whole from `position`: the next byte taken must be the one
    // there, and no later one may be missing. Nothing earlier may come any more, as that would be
    // told from the first of the whole stream only by chance (a byte matches one in 256 times).
    void expectEveryByteFrom(std::uint64_t position)
    {
        next = position;
        everyByteFrom = position;
    }

    std::uint64_t position() const { return next; }
    std::uint64_t bytesTaken() const { return taken; }
    std::uint64_t gaps() const { return gapCount; }
    const std::string& problem() const { return problemText; }

private:
    static constexpr std::size_t kProbe = 16;
    // A short piece this long fits whole at a wrong place by chance too rarely to matter.
    static constexpr std::size_t kWholeShortPiece = 4;
    static constexpr std::uint64_t kNowhere = ~0ull;

    std::size_t matchingLength(std::uint64_t at, const char* data, std::size_t size) const
    {
        std::size_t n = 0;
        while (n < size && data[n] == byteAt(at + n))
            ++n;
        return n;
    }

    // Where data[0, size) ends when its bytes are found in order within [from, to), the earliest
    // way; kNowhere when they cannot be.
    std::uint64_t fitsInOrder(const char* data, std::size_t size, std::uint64_t from, std::uint64_t to) const
    {
        for (std::size_t i = 0; i < size; ++i, ++from) {
            while (from < to && byteAt(from) != data[i])
                ++from;
            if (from >= to)
                return kNowhere;
        }
        return from;
    }

    // After a gap before stream position `at`: where the rest of the chunk, `data`, goes on. A
    // short piece (fewer than kProbe bytes, set in shortPieceLength) may come first, followed by
    // another gap. Returns the stream position of the long piece (or of the end, for a short
    // tail), kNowhere when nothing fits. The earliest place that fits is taken: it is never
    // beyond the true one, so a chance fit cannot make a later chunk look out of order.
    std::uint64_t resume(const char* data, std::size_t size, std::uint64_t at, std::uint64_t available)
    {
        shortPieceLength = 0;
        if (size < kProbe) {
            shortPieceLength = size;
            return fitsInOrder(data, size, at, available);
        }
        for (std::size_t lead = 0; lead < kProbe && lead + kProbe <= size; ++lead) {
            for (std::uint64_t from = at + lead; from + kProbe <= available; ++from) {
                if (matchingLength(from, data + lead, kProbe) == kProbe) {
                    if (fitsInOrder(data, lead, at, from) == kNowhere)
                        break;
                    shortPieceLength = lead;
                    return from;
                }
            }
        }
        // Short pieces in a row, cut apart by gaps (torn writes, purges), can put the long piece
        // beyond the probes: the first of them is placed where it first fits whole, the rest is
        // resumed behind it. A later place would leave the rest less room, never more.
        for (std::size_t piece = kWholeShortPiece; piece < kProbe && piece < size; ++piece) {
            for (std::uint64_t from = at; from + piece <= available; ++from) {
                if (matchingLength(from, data, piece) == piece) {
                    const std::uint64_t rest = resume(data + piece, size - piece, from + piece, available);
                    if (rest == kNowhere)
                        break;
                    shortPieceLength += piece;
                    return rest;
                }
            }
        }
        return kNowhere;
    }

    bool fail(const char* data, std::size_t size, std::uint64_t at)
    {
        // Where else it fits tells a repeat or a reordering from a byte that was never sent.
        const std::size_t probe = std::min(size, kProbe);
        std::uint64_t earlier = 0;
        while (earlier + probe <= at && matchingLength(earlier, data, probe) < probe)
            ++earlier;
        problemText = earlier + probe <= at
                          ? "bytes sent earlier, at stream position " + std::to_string(earlier)
                          : std::string("bytes that were never sent");
        problemText += ", where stream position " + std::to_string(at) + " or later would be";
        return false;
    }

    ByteAt byteAt;
    std::uint64_t next = 0; // where the next chunk should start
    std::uint64_t taken = 0;
    std::uint64_t gapCount = 0;
    std::uint64_t everyByteFrom = ~0ull;
    std::size_t shortPieceLength = 0;
    std::string problemText;
};

} // namespace serialtest
