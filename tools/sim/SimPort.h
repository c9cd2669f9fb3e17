#pragma once

#include <string>

namespace batmonsim {

// The sim's end of the line: the master side of a fresh pseudo-terminal or a serial device,
// non-blocking and raw. For a pseudo-terminal the sim also keeps the slave side open (never
// reading it) so the master does not see a hang-up while no client has the port open.
class SimPort {
public:
    SimPort() = default;
    ~SimPort();
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    // Both return false and fill Error() on failure.
    bool OpenPseudoTerminal();
    bool OpenDevice(const std::string& path);

    // Points `linkPath` at ClientPath(). An existing symlink there is replaced; any other file
    // is left alone and reported as an error. The link is removed by the destructor.
    bool CreateLink(const std::string& linkPath);

    int Fd() const { return fd_; }
    // The path the monitoring program opens.
    const std::string& ClientPath() const { return clientPath_; }
    const std::string& Error() const { return error_; }

private:
    bool Fail(const std::string& what);
    void RemoveLink();

    int fd_ = -1;
    int heldSlaveFd_ = -1;
    std::string clientPath_;
    std::string linkPath_;
    std::string error_;
};

}  // namespace batmonsim
