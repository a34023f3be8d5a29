#include "CommandBuffer.h"

#include "Log.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace KEL {

namespace {

// Sequence numbers 0 (free slot) and 0xFFFFFFFF are never given.
constexpr uint32_t kLastSequence = 0xFFFFFFFEu;

bool sameCode(const Command &command, const char *code) {
    return std::strncmp(command.code, code, sizeof command.code) == 0;
}

// Only the two sides exist: a record of any other origin would be taken by neither and hold
// its slot until the segment is cleared.
bool knownOrigin(const Command &command) {
    return command.origin == HostSide || command.origin == BrowserSide;
}

bool addressedTo(Side side, const Command &command) {
    if (command.sequence == 0)
        return false;
    if (command.origin != side)
        return command.result == 0; // a request or notice from the other side
    return command.result != 0;     // a reply to one of ours
}

} // namespace

Command *newCommand(const char *code, Side origin) {
    auto *command = static_cast<Command *>(std::calloc(1, sizeof(Command)));
    if (!command)
        return nullptr;
    std::strncpy(command->code, code, 4);
    command->origin = origin;
    return command;
}

bool CommandBuffer::open(const std::string &name) {
    m_nextSequence = nullptr;
    m_slots = nullptr;
    return openAndLayOut(name, kCommandSegmentSize, [this] {
        m_nextSequence = reinterpret_cast<uint32_t *>(m_base);
        *m_nextSequence = 1;
        m_slots = reinterpret_cast<Command *>(m_base + 4);
    });
}

int32_t CommandBuffer::post(const Command *command) {
    if (!command || !m_slots)
        return 0;
    if (!knownOrigin(*command)) {
        if (!m_refusalLogged.exchange(true))
            logMessage("CommandBuffer: refusing a record of origin " +
                       std::to_string(command->origin) + " (only 0 and 1 exist)");
        return 0;
    }
    int32_t sequence = 0;
    const PostOutcome outcome = postLocked(*command, &sequence);
    if (outcome == PostOutcome::NotLocked)
        return 0;
    if (outcome == PostOutcome::Full) {
        // A peer that stopped reading meets a stream of posts: one line, then a count.
        if (m_overruns.fetch_add(1) == 0)
            logMessage("CommandBuffer overrun: " + m_name);
        return 0;
    }
    const uint32_t refused = m_overruns.exchange(0);
    if (refused > 1)
        logMessage("CommandBuffer overrun: " + m_name + ": " + std::to_string(refused) +
                   " records refused while it was full");
    return sequence;
}

CommandBuffer::PostOutcome CommandBuffer::postLocked(const Command &command, int32_t *sequence) {
    ScopedLock lock(m_lock);
    if (!lock)
        return PostOutcome::NotLocked;
    for (uint32_t k = 0; k < kCommandSlots; ++k) {
        Command &slot = m_slots[k];
        if (slot.sequence != 0)
            continue;
        std::memcpy(&slot, &command, sizeof(Command));
        if (slot.sequence == 0) {
            // Only a corrupted segment holds these; numbering restarts instead of handing
            // out a number that marks a free slot.
            if (*m_nextSequence == 0 || *m_nextSequence > kLastSequence)
                *m_nextSequence = 1;
            slot.sequence = (*m_nextSequence)++;
            if (*m_nextSequence == 0xFFFFFFFFu)
                *m_nextSequence = 2;
            // The record's own number, also when numbering has just wrapped (the counter
            // then says 2, but the caller must match the reply to 0xFFFFFFFE).
            *sequence = static_cast<int32_t>(slot.sequence);
        } else {
            *sequence = static_cast<int32_t>(*m_nextSequence - 1);
        }
        return PostOutcome::Posted;
    }
    return PostOutcome::Full;
}

Command *CommandBuffer::next() {
    if (!m_slots)
        return nullptr;
    ScopedLock lock(m_lock);
    if (!lock)
        return nullptr;
    Command *oldest = nullptr;
    for (uint32_t k = 0; k < kCommandSlots; ++k) {
        Command &slot = m_slots[k];
        // Only a peer writing into the segment directly stores these; dropping them here keeps
        // a hostile peer from wedging the channel with 512 of them.
        if (slot.sequence != 0 && !knownOrigin(slot)) {
            slot.sequence = 0;
            continue;
        }
        // On equal numbers the later slot wins, hence <=.
        if (addressedTo(m_side, slot) && (!oldest || slot.sequence <= oldest->sequence))
            oldest = &slot;
    }
    if (!oldest)
        return nullptr;
    auto *copy = static_cast<Command *>(std::malloc(sizeof(Command)));
    if (!copy)
        return nullptr; // the record stays for a later poll
    std::memcpy(copy, oldest, sizeof(Command));
    oldest->sequence = 0;
    return copy;
}

void CommandBuffer::clear() {
    ScopedLock lock(m_lock);
    if (!lock || !m_slots)
        return;
    SharedBuffer::clear();
    *m_nextSequence = 1;
}

bool CommandBuffer::clearDroppingNotice(const char *code) {
    ScopedLock lock(m_lock);
    if (!lock || !m_slots)
        return false;
    bool dropped = false;
    for (uint32_t k = 0; k < kCommandSlots && !dropped; ++k) {
        const Command &slot = m_slots[k];
        dropped = slot.sequence != 0 && slot.origin != m_side && knownOrigin(slot) &&
                  slot.result == 0 && sameCode(slot, code);
    }
    clear();
    return dropped;
}

Command *CommandBuffer::find(const char *code) {
    if (!m_slots)
        return nullptr;
    ScopedLock lock(m_lock);
    if (!lock)
        return nullptr;
    for (uint32_t k = 0; k < kCommandSlots; ++k) {
        if (m_slots[k].sequence != 0 && sameCode(m_slots[k], code))
            return &m_slots[k];
    }
    return nullptr;
}

void CommandBuffer::removePending(const char *code) {
    ScopedLock lock(m_lock);
    if (!lock)
        return;
    if (Command *slot = find(code))
        slot->sequence = 0;
}

} // namespace KEL
