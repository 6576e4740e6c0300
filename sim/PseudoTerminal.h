// The simulator's end of a pseudo-terminal. The slave side is the "serial port" the flasher opens.
#pragma once

#include <string>

namespace rq75x {

class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair: a non-blocking master and a raw slave. The simulator keeps one slave
    // descriptor open for its whole life, so the master never sees a hang-up when the flasher closes
    // and reopens the port; that descriptor is never read, or it would steal the chip's input.
    bool open(std::string& error);

    // Makes `path` a symbolic link to the slave, replacing an older link (never a regular file).
    // The link is removed again on destruction if it still points at this terminal.
    bool link(const std::string& path, std::string& error);

    // Closes both ends, which the flasher's open port sees as a hang-up. Whatever the flasher has
    // not read yet is lost with the line.
    void hangUp();

    // Bytes written to the master that no one has read from the slave side yet.
    int unreadByPeer() const;

    int masterFd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
};

} // namespace rq75x
