#include "sim/SimOptions.h"

#include "flasher/BootloaderCodec.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace rq75x {

namespace {

constexpr uint64_t MaxDelayMs = 3600 * 1000;

std::optional<uint64_t> parseCount(const std::string& text, uint64_t max)
{
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// STEP=CODE: firmware-info, boot-mode, block:N, end-of-data, factory-reset or exit-boot-mode,
// and the acknowledgement's command byte as two hexadecimal digits.
std::optional<OutOfTurnAnswer> parseOutOfTurnAnswer(const std::string& text)
{
    const size_t equals = text.find('=');
    if (equals == std::string::npos || text.size() - equals != 3)
        return std::nullopt;
    const int high = hexDigit(text[equals + 1]);
    const int low = hexDigit(text[equals + 2]);
    if (high < 0 || low < 0)
        return std::nullopt;
    OutOfTurnAnswer answer;
    answer.code = static_cast<uint8_t>(high * 16 + low);

    const std::string step = text.substr(0, equals);
    const std::string blockPrefix = "block:";
    if (step.rfind(blockPrefix, 0) == 0) {
        const auto number = parseCount(step.substr(blockPrefix.size()), MaxBlocks);
        if (!number || *number == 0)
            return std::nullopt;
        answer.step = AnsweredStep::Block;
        answer.block = static_cast<uint32_t>(*number);
        return answer;
    }
    const std::pair<const char*, AnsweredStep> named[] = {
        {"firmware-info", AnsweredStep::FirmwareInfo},  {"boot-mode", AnsweredStep::BootMode},
        {"end-of-data", AnsweredStep::EndOfData},       {"factory-reset", AnsweredStep::FactoryReset},
        {"exit-boot-mode", AnsweredStep::ExitBootMode},
    };
    for (const auto& [name, kind] : named) {
        if (step == name) {
            answer.step = kind;
            return answer;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> unescapeText(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

SimOptionsResult parseSimOptions(const std::vector<std::string>& arguments)
{
    SimOptions options;
    auto fail = [](std::string error) { return SimOptionsResult{std::nullopt, std::move(error)}; };

    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        if (const size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < arguments.size())
                return arguments[++i];
            return std::nullopt;
        };
        auto flag = [&](bool& target) {
            if (inlineValue)
                return false;
            target = true;
            return true;
        };
        auto count = [&](std::optional<uint64_t>& target, uint64_t min, uint64_t max) {
            const auto text = value();
            const auto number = text ? parseCount(*text, max) : std::nullopt;
            if (!number || *number < min)
                return false;
            target = number;
            return true;
        };

        bool ok = true;
        if (name == "--help" || name == "-h") {
            ok = flag(options.help);
        } else if (name == "--verbose" || name == "-v") {
            ok = flag(options.verbose);
        } else if (name == "--info") {
            const auto text = value();
            const auto info = text ? unescapeText(*text) : std::nullopt;
            if (!info)
                return fail("--info needs a text (escapes: \\r \\n \\t \\\\ \\xHH)");
            options.firmwareInfo = *info;
        } else if (name == "--link" || name == "--save") {
            const auto path = value();
            if (!path || path->empty())
                return fail(name + " needs a path");
            (name == "--link" ? options.linkPath : options.savePath) = *path;
        } else if (name == "--silent") {
            bool silent = false;
            ok = flag(silent);
            options.faults.silentAfter = 0;
        } else if (name == "--silent-after") {
            ok = count(options.faults.silentAfter, 0, std::numeric_limits<uint64_t>::max());
        } else if (name == "--garbage-after") {
            ok = count(options.faults.garbageAfter, 0, std::numeric_limits<uint64_t>::max() - 1);
        } else if (name == "--hangup-after") {
            ok = count(options.faults.hangupAfter, 1, std::numeric_limits<uint64_t>::max());
        } else if (name == "--split-ack") {
            ok = flag(options.faults.splitAcknowledgements);
        } else if (name == "--extra-bytes") {
            ok = flag(options.faults.extraBytes);
        } else if (name == "--delay") {
            std::optional<uint64_t> delay;
            ok = count(delay, 0, MaxDelayMs);
            if (ok)
                options.faults.delay = std::chrono::milliseconds(*delay);
        } else if (name == "--delay-frame") {
            ok = count(options.faults.delayFrame, 1, std::numeric_limits<uint64_t>::max());
        } else if (name == "--answer-out-of-turn") {
            const auto text = value();
            const auto answer = text ? parseOutOfTurnAnswer(*text) : std::nullopt;
            if (!answer)
                return fail("--answer-out-of-turn needs STEP=CODE (see --help)");
            // A later answer for the same step replaces the earlier one.
            auto& answers = options.faults.outOfTurn;
            answers.erase(std::remove_if(answers.begin(), answers.end(),
                                         [&](const OutOfTurnAnswer& earlier) {
                                             return earlier.step == answer->step &&
                                                    earlier.block == answer->block;
                                         }),
                          answers.end());
            answers.push_back(*answer);
        } else {
            return fail("unknown option " + arguments[i]);
        }
        if (!ok)
            return fail("bad use of " + name + " (see --help)");
    }
    return {options, {}};
}

std::string simUsage()
{
    return "Usage: rq75x-sim [options]\n"
           "Plays an RQ75x chip at the far end of a pseudo-terminal. The first line printed is the\n"
           "path of the port to open. Runs until SIGINT or SIGTERM.\n"
           "\n"
           "  --info TEXT        answer to the firmware-information request\n"
           "                     (escapes \\r \\n \\t \\\\ \\xHH; default \"RQ75x firmware V2.4.1 build\n"
           "                     2026-11-02\\r\\n\")\n"
           "  --link PATH        also make PATH a symbolic link to the port\n"
           "  --save FILE        write the received image to FILE at each end-of-data frame\n"
           "                     (a regular file or a new name; the end of data is refused\n"
           "                     when it cannot be saved)\n"
           "  -v, --verbose      log every frame on standard error\n"
           "\n"
           "Fault modes (frames are counted from 1: every request, frame or run of unrecognised\n"
           "bytes received is one frame):\n"
           "  --silent           never answer\n"
           "  --silent-after N   answer frames 1 to N, then nothing\n"
           "  --garbage-after N  answer frame N+1 with a line of garbage text instead\n"
           "  --split-ack        write each acknowledgement in two parts, 50 ms apart\n"
           "  --extra-bytes      append \"\\r\\n>\" to each acknowledgement\n"
           "  --hangup-after N   after answering frame N (N >= 1), close the pty and exit\n"
           "  --delay MS         write each reply MS milliseconds after its frame arrived\n"
           "  --delay-frame N    with --delay, delay only the reply to frame N (N >= 1)\n"
           "  --answer-out-of-turn STEP=CODE\n"
           "                     take the frame of STEP as usual but answer it with the\n"
           "                     acknowledgement 55 66 CODE (two hex digits, e.g. 35) instead, each\n"
           "                     time; STEP is firmware-info, boot-mode, block:N, end-of-data,\n"
           "                     factory-reset or exit-boot-mode; repeat for several steps\n"
           "\n"
           "Exit status: 0 after a clean run, 1 when the host sent frames the chip refused or the\n"
           "image could not be saved, 2 for bad usage or when the pty cannot be set up.\n";
}

} // namespace rq75x
