#pragma once
// The command segment: 512 fixed slots of command records plus the next sequence number.
//
// Layout: u32 nextSequence at 0, slot k at 4 + k * 8296. A slot is free when its sequence is 0.

#include "Command.h"
#include "SharedBuffer.h"

#include <atomic>
#include <cstdlib>
#include <memory>

namespace KEL {

constexpr uint32_t kCommandSlots = 512;
constexpr uint32_t kCommandSegmentSize = kCommandSlots * kCommandSize + 4;
static_assert(kCommandSegmentSize == 4247556, "command segment size");

// A record of `origin`'s making: malloc'ed, zeroed, code copied, origin set. Release it with
// free(). Null when memory is exhausted.
Command *newCommand(const char *code, Side origin);

// Owns a record from newCommand() or CommandBuffer::next().
struct CommandFree {
    void operator()(Command *command) const { std::free(command); }
};
using CommandPtr = std::unique_ptr<Command, CommandFree>;

class CommandBuffer : public SharedBuffer {
  public:
    using SharedBuffer::SharedBuffer;

    // Opens the segment and restarts numbering at 1 (both sides do this).
    bool open(const std::string &name);

    // Copies the record into the first free slot. Returns nextSequence - 1 after the call (the
    // new record's number when this call numbered it), 0 when no slot was free, the lock could
    // not be taken, or the record's origin is neither side (logged once per buffer). A full
    // segment is logged at the first refused post, and the number refused in all at the next
    // post that succeeds.
    int32_t post(const Command *command);

    // Removes the oldest record addressed to this process and returns a malloc'ed copy (release
    // with free()); null when none waits. Frees, on the way, every slot whose origin is
    // neither side.
    Command *next();

    // Empties every slot and restarts numbering at 1.
    void clear() override;
    // clear(), telling whether a notice of the other side (result 0) with this code was among
    // the records dropped: nobody will ever read it.
    bool clearDroppingNotice(const char *code);

    // Browser side: the first occupied slot with this code, or null. The pointer is into the
    // segment: use it only while holding the segment lock.
    Command *find(const char *code);
    // Browser side: frees the first occupied slot with this code.
    void removePending(const char *code);

    uint32_t capacity() const { return kCommandSlots; }

  private:
    enum class PostOutcome { Posted, Full, NotLocked };
    PostOutcome postLocked(const Command &command, int32_t *sequence);

    uint32_t *m_nextSequence = nullptr;
    std::atomic<uint32_t> m_overruns{0};
    std::atomic<bool> m_refusalLogged{false};
    Command *m_slots = nullptr;
};

} // namespace KEL
