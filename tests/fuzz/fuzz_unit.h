// The unit around the monitor's handlers in a fuzz target: the CONFIG and OTHER segments, the
// peers' pipes held open and emptied by the target itself, the command pipe with a writer, and a
// context record started by the real InitProc. Everything lives in the target's process, so one
// input costs no thread switch and leaves nothing behind for the next one.
#ifndef KIVFUZZ_FUZZ_UNIT_H
#define KIVFUZZ_FUZZ_UNIT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/procinfo.h"
#include "segments.h"

namespace kivfuzz {

// Stops the target with a message; libFuzzer reports it as a crash and keeps the input.
[[noreturn]] void Fail(const char *what, const std::string &detail = {});
inline void Expect(bool ok, const char *what, const std::string &detail = {}) {
    if (!ok) Fail(what, detail);
}

// Printable form of some bytes, for failure messages.
std::string Show(std::string_view bytes);

// A signed 32-bit big-endian integer from four input bytes.
int32_t BigEndian32(const uint8_t *p);

class FuzzUnit {
public:
    // Builds the unit once per process; the fixed paths must be the sandbox's.
    static FuzzUnit &Get();

    ProcInfo *Proc() { return &proc_; }
    kivsim::SegmentWriter &Segments() { return segments_; }

    // Bytes waiting in a peer's pipe, read in one go ("FifoSts", "FifoStsp", "FifoLog", "FifoDisp").
    std::string Take(std::string_view pipe);
    // True when no peer pipe holds anything.
    bool PeersEmpty();
    // Writes bytes into the command pipe with one write (at most PIPE_BUF bytes: one piece).
    void WriteCommand(std::string_view bytes);
    // Empties the command pipe of what the handler left unread.
    void DrainCommand();
    // Lowest free descriptor number: the same before and after an input, or a descriptor leaked.
    static int LowestFreeDescriptor();
    // Starts the clock of an input (see the watchdog in fuzz_unit.cpp).
    void Begin();
    // Ends an input: the process mask the handlers blocked is opened again, the peers' pipes and
    // the command pipe are emptied, the clock stops.
    void Reset();

private:
    FuzzUnit();
    int OpenPeer(std::string_view name);

    kivsim::SegmentWriter segments_;
    ProcInfo proc_{};
    std::vector<std::pair<std::string, int>> peers_; // name, read-write descriptor
    int tampWriter_ = -1;
    int tampDrain_ = -1;
};

} // namespace kivfuzz

#endif
