#pragma once

#include <cstdint>
#include <string>

namespace batmonsim {

// The sim's end of the line: the master side of a fresh pseudo-terminal or a serial device,
// non-blocking and raw, or a TCP socket listening for the connection of a monitoring program. For a
// pseudo-terminal the sim also keeps the slave side open (never reading it) so the master does not
// see a hang-up while no client has the port open.
class SimPort {
public:
    SimPort() = default;
    ~SimPort();
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    // Both return false and fill Error() on failure.
    bool OpenPseudoTerminal();
    bool OpenDevice(const std::string& path);
    // A listening TCP socket on `host`:`port` (0: any free port), non-blocking. ClientPath()
    // becomes the name a monitoring program opens: "tcp://HOST:PORT" with the port bound.
    bool ListenTcp(const std::string& host, std::uint16_t port);

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
