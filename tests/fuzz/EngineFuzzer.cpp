// libFuzzer target: the flashing engine against replies the fuzzer makes up, together with reply
// classification and the reply filter. Each input is checked three ways:
// - classifyReply() against its rule: 55 66 and a code from 32 to 36 at the start, byte 5 zero
//   for 32; anything else is "other";
// - FlashEngine::filterReplyText() against its rule: of the text the bytes decode to, exactly the
//   characters '.' to 'a', '-', 'z', 'A' to 'Z', ASCII digits and ASCII white space stay, in order;
// - the input's bytes as the choices of a ScriptedChipRun, whose checks (protocol order, replies
//   in turn, the guard) must all hold.
// A violation is printed and aborts, so libFuzzer keeps the input.
#include "ScriptedChipRun.h"

#include "flasher/BootloaderCodec.h"
#include "flasher/FlashEngine.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void violated(const std::string& what)
{
    std::fprintf(stderr, "violation: %s\n", what.c_str());
    std::abort();
}

rq75x::ReplyCode replyByRule(const uint8_t* data, size_t size)
{
    if (size < 3 || data[0] != 0x55 || data[1] != 0x66 || data[2] < 0x32 || data[2] > 0x36)
        return rq75x::ReplyOther;
    if (data[2] == 0x32 && (size < 6 || data[5] != 0x00))
        return rq75x::ReplyOther;
    return static_cast<rq75x::ReplyCode>(rq75x::ReplyBootReady + (data[2] - 0x32));
}

bool keptByTheFilter(QChar c)
{
    const char16_t u = c.unicode();
    if (u > 0x7F)
        return false;
    const char ascii = static_cast<char>(u);
    return (ascii >= '.' && ascii <= 'a') || ascii == '-' || ascii == 'z' || (ascii >= 'A' && ascii <= 'Z') ||
           (ascii >= '0' && ascii <= '9') || ascii == ' ' || ascii == '\t' || ascii == '\n' ||
           ascii == '\v' || ascii == '\f' || ascii == '\r';
}

void checkClassification(const uint8_t* data, size_t size)
{
    if (rq75x::classifyReply(data, static_cast<int>(size)) != replyByRule(data, size))
        violated("classifyReply() breaks its rule");
}

void checkFilter(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString expected;
    for (const QChar c : QString::fromLocal8Bit(bytes)) {
        if (keptByTheFilter(c))
            expected.append(c);
    }
    if (rq75x::FlashEngine::filterReplyText(bytes) != expected)
        violated("filterReplyText() breaks its rule");
}

void checkRun(const uint8_t* data, size_t size)
{
    size_t at = 0;
    // One byte per choice, two where one cannot reach every value; 0 once the input is used up.
    const auto choose = [&](uint64_t n) -> uint64_t {
        if (n <= 1 || at >= size)
            return 0;
        uint64_t value = data[at++];
        if (n > 256 && at < size)
            value = value << 8 | data[at++];
        return value % n;
    };
    enginecheck::ScriptedChipRun(choose, violated).play();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkClassification(data, size);
    checkFilter(data, size);
    checkRun(data, size);
    return 0;
}
