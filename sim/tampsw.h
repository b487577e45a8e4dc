// SPDX-License-Identifier: MIT
// The tamper switch as tests, the demo and the benchmarks drive it: binds the device, injects
// switch events and reads back what was done to the device. Meant for use inside the sandbox (as
// root, private /dev). Two backends: on the host the kivtampsw file system, whose cr_tampsw file is
// bound as the unit's device (tampsw.cpp); on the booted board the real driver on a simulated line
// (tampsw_board.cpp). Both have the same control files (tampsw_control.cpp).
#ifndef KIVSIM_TAMPSW_H
#define KIVSIM_TAMPSW_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace kivsim {

class TampSwitch {
public:
    // binary: the kivtampsw program (default: the one built with this library);
    // device: where Bind() puts the device.
    explicit TampSwitch(std::string binary = {}, std::string device = "/dev/cr_tampsw");
    ~TampSwitch();
    TampSwitch(const TampSwitch &) = delete;
    TampSwitch &operator=(const TampSwitch &) = delete;

    // Starts the daemon on mountdir (created if missing) and returns once it is mounted.
    bool Start(const std::string &mountdir = "/tmp/kivsim-tampsw");
    // Unbinds, ends the daemon, unmounts and removes a mount directory Start created.
    void Stop();
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // Makes the device present (bound from the stand-in) or absent.
    bool Bind();
    bool Unbind();
    bool Bound() const { return bound_; }

    bool Inject(unsigned char event);
    bool Inject(std::string_view events);

    long Opens() const { return Count("opens"); }
    long Ioctls() const { return Count("ioctls"); }
    long Reads() const { return Count("reads"); }
    long Polls() const { return Count("polls"); }
    long Closes() const { return Count("closes"); }
    long Queued() const { return Count("queued"); }
    // Any control file by name; 0 while the device is absent (unbound), -1 if it cannot be read.
    long Count(std::string_view name) const;
    // A control file's whole text ("ioctl"); empty if it cannot be read.
    std::string Text(std::string_view name) const;
    // When the last reads of the device came, in milliseconds of CLOCK_MONOTONIC, oldest first
    // (none on the board: its driver keeps no times).
    std::vector<long long> ReadTimes() const;
    // Now on the clock of ReadTimes.
    static long long NowMs();
    // The polling-time byte of the device's last configuration (request 3), -1 before the first.
    int PollTime() const;
    // Waits until the named count is at least value (the kernel sends some requests, such as the
    // release after a close, in the background).
    bool WaitForCount(std::string_view name, long value,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

    bool SetIoctlFail(bool fail);
    // The next n reads fail with EIO / return end of file; 0 ends the mode.
    bool SetReadFail(long n);
    bool SetEof(long n);
    // Writes a control file (for example "opens" "0" to reset a count).
    bool Set(std::string_view name, std::string_view value);

    const std::string &MountDir() const { return mountdir_; }
    std::string FilePath() const { return mountdir_ + "/cr_tampsw"; }
    const std::string &Device() const { return device_; }
    // Why the last failed call failed.
    const std::string &Error() const { return error_; }

private:
    bool Fail(const std::string &what);
    std::string binary_;
    std::string device_;
    std::string mountdir_;
    std::string error_;
    pid_t pid_ = -1;
    bool createdDir_ = false;
    bool bound_ = false;
};

} // namespace kivsim

#endif
