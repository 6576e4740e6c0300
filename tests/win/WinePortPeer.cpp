// The contract tests' far end under wine: a COM port that the pty peer backs with a
// pseudo-terminal, taken away again when the test ends.
#include "PortPeer.h"
#include "PtyPeer.h"

namespace serialtest {
namespace {

using vandrel::wintest::Bytes;

class WinePortPeer final : public PortPeer
{
public:
    WinePortPeer() : name(peer.connected() ? peer.openPort() : "") {}
    ~WinePortPeer() override
    {
        if (!name.empty())
            peer.unplug(name);
    }

    const std::string& portName() const override { return name; }
    std::string problem() const override
    {
        return peer.connected() ? "the pty peer made no port" : peer.problem();
    }
    // The peer takes whole messages and writes them out itself.
    bool send(const std::string& bytes, std::chrono::milliseconds) override
    {
        return peer.send(name, Bytes(bytes.begin(), bytes.end()));
    }
    std::string receive(std::size_t count, std::chrono::milliseconds timeout) override
    {
        const Bytes got = peer.receive(name, count, static_cast<int>(timeout.count()));
        return std::string(got.begin(), got.end());
    }

private:
    vandrel::wintest::PtyPeer peer;
    const std::string name;
};

} // namespace

std::unique_ptr<PortPeer> makePortPeer()
{
    return std::make_unique<WinePortPeer>();
}

} // namespace serialtest
