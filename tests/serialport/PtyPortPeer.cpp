// The contract tests' far end on Linux: the master side of a pseudo-terminal pair.
#include "PortPeer.h"
#include "PtyPair.h"

namespace serialtest {
namespace {

class PtyPortPeer final : public PortPeer
{
public:
    PtyPortPeer() : name(pty.isValid() ? pty.slaveName() : "") {}

    const std::string& portName() const override { return name; }
    std::string problem() const override { return "no pseudo-terminal available"; }
    bool send(const std::string& bytes, std::chrono::milliseconds timeout) override
    {
        return pty.writeAll(bytes, timeout);
    }
    std::string receive(std::size_t count, std::chrono::milliseconds timeout) override
    {
        return pty.readExactly(count, timeout);
    }

private:
    PtyPair pty;
    const std::string name;
};

} // namespace

std::unique_ptr<PortPeer> makePortPeer()
{
    return std::make_unique<PtyPortPeer>();
}

} // namespace serialtest
