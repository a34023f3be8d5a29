#include "FrameArea.h"

#include "Log.h"
#include "SegmentLock.h"
#include "SegmentNames.h"

#include <algorithm>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KEL {

uint64_t frameAreaHash(const uint16_t *name, size_t length) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < length; ++i) {
        for (const uint8_t byte : {uint8_t(name[i] & 0xff), uint8_t(name[i] >> 8)}) {
            hash ^= byte;
            hash *= 0x100000001b3ull;
        }
    }
    return hash;
}

std::string frameControlName(const uint16_t *name, size_t length) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx",
                  static_cast<unsigned long long>(frameAreaHash(name, length)));
    return segmentName(kTextureSegmentName) + "_F" + digits;
}

std::string framePixelsName(const std::string &controlName, uint32_t generation) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08x", generation);
    return controlName + "_G" + digits;
}

namespace {

// A rectangle lies within a width x height frame; compared in 64 bits so no sum wraps.
bool rectInside(const FrameRect &rect, int32_t width, int32_t height) {
    return rect.x >= 0 && rect.y >= 0 && rect.width > 0 && rect.height > 0 &&
           int64_t(rect.x) + rect.width <= width && int64_t(rect.y) + rect.height <= height;
}

} // namespace

bool validFrameSlot(const FrameSlot &slot, uint64_t slotBytes, uint32_t number) {
    if (slot.width < 1 || slot.height < 1 || slot.width > kMaxFrameSide ||
        slot.height > kMaxFrameSide)
        return false;
    // Sides are bounded now, so these products cannot wrap.
    const int64_t rowBytes = int64_t(slot.width) * 4;
    if (slot.stride < rowBytes || slot.stride > int64_t(kMaxFrameSide) * 4)
        return false;
    if (uint64_t(slot.stride) * uint64_t(slot.height) > slotBytes)
        return false;
    if (slot.number != number || slot.changesSince >= number)
        return false;
    if (slot.rectCount < -1 || slot.rectCount > kMaxFrameRects)
        return false;
    for (int i = 0; i < slot.rectCount; ++i) {
        if (!rectInside(slot.rects[i], slot.width, slot.height))
            return false;
    }
    return true;
}

std::unique_ptr<FrameMapping> FrameMapping::create(const std::string &name, uint64_t size) {
    const std::string path = "/" + name;
    shm_unlink(path.c_str()); // a leftover of a view that had this name before
    const int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        logMessage("Cannot create frame area " + name + ": " + std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<FrameMapping> mapping(new FrameMapping());
    mapping->m_name = name;
    mapping->m_linked = true;
    struct stat info;
    // fchmod: the process's umask may have taken bits away, and the host insists on 0600.
    int error = fchmod(fd, 0600) == 0 && fstat(fd, &info) == 0 ? 0 : errno;
    if (error == 0)
        error = posix_fallocate(fd, 0, static_cast<off_t>(size));
    void *address = MAP_FAILED;
    if (error == 0) {
        address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED)
            error = errno;
    }
    close(fd);
    if (error != 0) {
        logMessage("Cannot create frame area " + name + " of " + std::to_string(size) +
                   " bytes: " + std::strerror(error));
        return nullptr; // the destructor removes the name
    }
    mapping->m_base = static_cast<uint8_t *>(address);
    mapping->m_size = size;
    mapping->m_device = info.st_dev;
    mapping->m_inode = info.st_ino;
    madeFrameAreaNames().add(name, mapping->m_device, mapping->m_inode);
    return mapping;
}

std::unique_ptr<FrameMapping> FrameMapping::open(const std::string &name, uint64_t minSize,
                                                 uint64_t maxSize) {
    const std::string path = "/" + name;
    const int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    struct stat info;
    void *address = MAP_FAILED;
    uint64_t size = 0;
    if (isPrivateObject(fd, name) && fstat(fd, &info) == 0) {
        size = static_cast<uint64_t>(info.st_size);
        if (size < minSize || size > maxSize)
            logMessage("Refusing frame area " + name + ": its size " + std::to_string(size) +
                       " is impossible");
        else
            address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (address == MAP_FAILED)
        return nullptr;
    std::unique_ptr<FrameMapping> mapping(new FrameMapping());
    mapping->m_name = name;
    mapping->m_base = static_cast<uint8_t *>(address);
    mapping->m_size = size;
    mapping->m_device = info.st_dev;
    mapping->m_inode = info.st_ino;
    mapping->m_linked = true;
    return mapping;
}

FrameMapping::~FrameMapping() {
    if (m_base)
        munmap(m_base, m_size);
    if (m_linked && m_base == nullptr)
        shm_unlink(("/" + m_name).c_str()); // creation failed half-way
}

void FrameMapping::unlinkName() {
    if (!m_linked)
        return;
    m_linked = false;
    madeFrameAreaNames().forget(m_name);
    if (nameIsOurs())
        shm_unlink(("/" + m_name).c_str());
}

bool FrameMapping::nameIsOurs() const {
    const int fd = shm_open(("/" + m_name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct stat info;
    const bool ours = fstat(fd, &info) == 0 && uint64_t(info.st_dev) == m_device &&
                      uint64_t(info.st_ino) == m_inode;
    close(fd);
    return ours;
}

// ---- Browser side ---------------------------------------------------------------------------

FrameAreaPublisher::FrameAreaPublisher(std::string controlName)
    : m_controlName(std::move(controlName)) {
    m_control = FrameMapping::create(m_controlName, kFrameControlSize);
    if (!m_control)
        return;
    FrameControl *c = control();
    c->state.store(packFrameState(FrameState{}), std::memory_order_relaxed);
    c->taken.store(0, std::memory_order_relaxed);
    c->version = kFrameLayoutVersion;
    std::atomic_thread_fence(std::memory_order_release);
    c->magic = kFrameControlMagic;
}

FrameAreaPublisher::~FrameAreaPublisher() {
    if (m_pixels)
        m_pixels->unlinkName();
    if (m_control)
        m_control->unlinkName();
}

bool FrameAreaPublisher::reserve(int32_t width, int32_t height) {
    if (!m_control || width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide)
        return false;
    const uint64_t needed = frameSlotBytes(width, height);
    if (m_pixels && needed <= m_slotBytes)
        return true;
    uint32_t generation = (m_generation + 1) & kFrameGenerationMask;
    if (generation == 0)
        generation = 1; // 0 means "no frames yet"
    std::unique_ptr<FrameMapping> pixels = FrameMapping::create(
        framePixelsName(m_controlName, generation), framePixelsSegmentSize(needed));
    if (!pixels)
        return false;
    auto *header = reinterpret_cast<FramePixelsHeader *>(pixels->base());
    header->magic = kFramePixelsMagic;
    header->generation = generation;
    header->slotBytes = needed;
    // The new generation starts empty: nothing newest, nothing held. The host's frame of the
    // old generation stays valid in its own mapping until it lets go of it.
    FrameControl *c = control();
    FrameState state = unpackFrameState(c->state.load(std::memory_order_relaxed));
    state.newest = kFrameNoSlot;
    state.held = kFrameNoSlot;
    state.generation = generation;
    c->state.exchange(packFrameState(state), std::memory_order_acq_rel);
    if (m_pixels)
        m_pixels->unlinkName();
    m_pixels = std::move(pixels);
    m_generation = generation;
    m_slotBytes = needed;
    m_generationChanged = true;
    return true;
}

bool FrameAreaPublisher::takeGenerationChanged() {
    const bool changed = m_generationChanged;
    m_generationChanged = false;
    return changed;
}

int FrameAreaPublisher::freeSlot() const {
    const FrameState state = unpackFrameState(control()->state.load(std::memory_order_acquire));
    for (uint32_t slot = 0; slot < uint32_t(kFrameSlots); ++slot) {
        if (slot != state.newest && slot != state.held)
            return int(slot);
    }
    return 0; // unreachable: two of three slots at most are taken
}

int FrameAreaPublisher::newestSlot() const {
    const FrameState state = unpackFrameState(control()->state.load(std::memory_order_acquire));
    return state.newest < uint32_t(kFrameSlots) && state.generation == m_generation
               ? int(state.newest)
               : -1;
}

uint8_t *FrameAreaPublisher::slotPixels(int slot) const {
    return m_pixels->base() + kFramePixelsOffset + uint64_t(slot) * m_slotBytes;
}

FrameSlot &FrameAreaPublisher::slotDescriptor(int slot) const {
    return reinterpret_cast<FramePixelsHeader *>(m_pixels->base())->frames[slot];
}

void FrameAreaPublisher::publish(int slot, uint32_t number) {
    FrameControl *c = control();
    uint64_t word = c->state.load(std::memory_order_relaxed);
    // Only the host's take and release race with this, each a single CAS; the bound only keeps
    // a host that writes the word in a loop from holding the browser up.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        FrameState next = unpackFrameState(word);
        next.newest = uint32_t(slot);
        next.number = number;
        next.generation = m_generation;
        if (c->state.compare_exchange_weak(word, packFrameState(next), std::memory_order_release,
                                           std::memory_order_relaxed))
            return;
    }
}

uint32_t FrameAreaPublisher::hostTaken() const {
    return uint32_t(control()->taken.load(std::memory_order_relaxed));
}

// ---- Host side ------------------------------------------------------------------------------

FrameAreaReader::~FrameAreaReader() {
    release();
}

void FrameAreaReader::reset() {
    release();
    m_heldPixels.reset();
    m_pixels.reset();
    m_control.reset();
    m_generation = 0;
    m_slotBytes = 0;
    m_hasTaken = false;
    m_lastTaken = 0;
}

int FrameAreaReader::refuse(const char *why) {
    if (!m_refusalLogged)
        logMessage("Refusing a frame of " + m_controlName + ": " + why);
    m_refusalLogged = true;
    return -1;
}

bool FrameAreaReader::mapControl() {
    std::unique_ptr<FrameMapping> control =
        FrameMapping::open(m_controlName, kFrameControlSize, kFrameControlSize);
    if (!control)
        return false;
    const auto *c = reinterpret_cast<const FrameControl *>(control->base());
    // Still being made by the browser (or not a frame area at all): not yet.
    if (c->magic != kFrameControlMagic || c->version != kFrameLayoutVersion)
        return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    m_control = std::move(control);
    return true;
}

bool FrameAreaReader::mapGeneration(uint32_t generation) {
    if (generation == 0)
        return false; // no frames yet
    std::shared_ptr<FrameMapping> pixels =
        FrameMapping::open(framePixelsName(m_controlName, generation), framePixelsSegmentSize(4096),
                           framePixelsSegmentSize(kMaxFrameBytes));
    if (!pixels)
        return false;
    FramePixelsHeader header;
    std::memcpy(&header, pixels->base(), sizeof header);
    if (header.magic != kFramePixelsMagic || header.generation != generation ||
        header.slotBytes < 4096 || header.slotBytes % 4096 != 0 ||
        header.slotBytes > kMaxFrameBytes ||
        framePixelsSegmentSize(header.slotBytes) > pixels->size()) {
        refuse("its pixel segment's header is impossible");
        return false;
    }
    m_pixels = std::move(pixels);
    m_generation = generation;
    m_slotBytes = header.slotBytes;
    return true;
}

int FrameAreaReader::take(KEL_Frame &frame) {
    if (!m_control && !mapControl())
        return -1;
    auto *c = reinterpret_cast<FrameControl *>(m_control->base());
    uint64_t word = c->state.load(std::memory_order_acquire);
    FrameState state = unpackFrameState(word);
    if (!m_pixels || state.generation != m_generation) {
        if (!mapGeneration(state.generation)) {
            if (!m_control->nameIsOurs())
                reset(); // the view was made anew or another browser runs: start over
            return -1;
        }
    }
    // Bounded: a browser that publishes without pause cannot keep the host here.
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (state.generation != m_generation)
            return 0; // a new generation came meanwhile: the next call maps it
        if (state.newest == kFrameNoSlot || (m_hasTaken && state.number == m_lastTaken)) {
            if (!m_control->nameIsOurs()) {
                reset();
                return -1;
            }
            return 0;
        }
        FrameState next = state;
        next.held = state.newest;
        if (!c->state.compare_exchange_weak(word, packFrameState(next), std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            state = unpackFrameState(word);
            continue;
        }
        // Held now: the browser leaves this slot alone, but the descriptor is still the other
        // process's memory, so it is copied once and only the copy is checked and used.
        FrameSlot slot;
        std::memcpy(
            &slot,
            &reinterpret_cast<const FramePixelsHeader *>(m_pixels->base())->frames[state.newest],
            sizeof slot);
        m_heldPixels = m_pixels;
        m_heldSlot = state.newest;
        m_heldGeneration = state.generation;
        if (!validFrameSlot(slot, m_slotBytes, state.number)) {
            release();
            return refuse("its size, stride, number or rectangles are impossible");
        }
        frame.pixels = m_pixels->base() + kFramePixelsOffset + uint64_t(state.newest) * m_slotBytes;
        frame.width = slot.width;
        frame.height = slot.height;
        frame.stride = slot.stride;
        frame.number = slot.number;
        frame.changesSince = slot.changesSince;
        frame.rectCount = slot.rectCount;
        std::memcpy(frame.rects, slot.rects, sizeof frame.rects);
        for (int i = std::max(slot.rectCount, 0); i < kMaxFrameRects; ++i)
            frame.rects[i] = FrameRect{0, 0, 0, 0};
        m_lastTaken = state.number;
        m_hasTaken = true;
        c->taken.store(state.number, std::memory_order_relaxed);
        return 1;
    }
    return 0;
}

void FrameAreaReader::release() {
    if (m_heldSlot == kFrameNoSlot || !m_control) {
        m_heldSlot = kFrameNoSlot;
        m_heldPixels.reset();
        return;
    }
    auto *c = reinterpret_cast<FrameControl *>(m_control->base());
    uint64_t word = c->state.load(std::memory_order_relaxed);
    for (int attempt = 0; attempt < 64; ++attempt) {
        FrameState state = unpackFrameState(word);
        if (state.held != m_heldSlot || state.generation != m_heldGeneration)
            break; // a new generation let go of it already
        state.held = kFrameNoSlot;
        if (c->state.compare_exchange_weak(word, packFrameState(state), std::memory_order_release,
                                           std::memory_order_relaxed))
            break;
    }
    m_heldSlot = kFrameNoSlot;
    m_heldPixels.reset();
}

void FrameAreaReader::forgetTaken(uint32_t number, bool any) {
    m_lastTaken = number;
    m_hasTaken = any;
}

void FrameAreaReader::removeNames() {
    if (m_pixels)
        m_pixels->unlinkName();
    if (m_control)
        m_control->unlinkName();
}

bool FrameAreaNames::add(const std::string &name, uint64_t device, uint64_t inode) {
    if (name.empty() || name.size() + 2 > kMaxNameBytes)
        return false;
    for (Entry &entry : m_entries) {
        const uint32_t version = entry.version.load(std::memory_order_relaxed);
        if (version % 2 != 0)
            continue;
        entry.name[0] = '/';
        std::memcpy(entry.name + 1, name.c_str(), name.size() + 1);
        entry.device = device;
        entry.inode = inode;
        entry.version.store(version + 1, std::memory_order_release);
        return true;
    }
    return false;
}

void FrameAreaNames::forget(const std::string &name) {
    for (Entry &entry : m_entries) {
        const uint32_t version = entry.version.load(std::memory_order_relaxed);
        if (version % 2 != 0 && name == entry.name + 1)
            entry.version.store(version + 1, std::memory_order_release);
    }
}

int FrameAreaNames::removeStillOwn() {
    int removed = 0;
    for (Entry &entry : m_entries) {
        const uint32_t before = entry.version.load(std::memory_order_acquire);
        if (before % 2 == 0)
            continue;
        char name[kMaxNameBytes];
        std::memcpy(name, entry.name, sizeof name);
        name[kMaxNameBytes - 1] = '\0';
        const uint64_t device = entry.device, inode = entry.inode;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (entry.version.load(std::memory_order_relaxed) != before)
            continue; // changed while copied: the owning thread runs, it removes its own
        const int fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
        if (fd < 0)
            continue;
        struct stat info;
        const bool ours = fstat(fd, &info) == 0 && uint64_t(info.st_dev) == device &&
                          uint64_t(info.st_ino) == inode;
        close(fd);
        if (ours && shm_unlink(name) == 0)
            ++removed;
    }
    return removed;
}

int FrameAreaNames::count() const {
    int count = 0;
    for (const Entry &entry : m_entries)
        count += entry.version.load(std::memory_order_relaxed) % 2;
    return count;
}

FrameAreaNames &madeFrameAreaNames() {
    static FrameAreaNames names;
    return names;
}

namespace {

bool hexDigits(const char *text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// "<prefix><16 hex>" or "<prefix><16 hex>_G<8 hex>", and nothing else (another host's suffix
// may extend this one's prefix).
bool isFrameAreaName(const char *name, const std::string &prefix) {
    if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
        return false;
    const char *rest = name + prefix.size();
    const size_t length = std::strlen(rest);
    if (length == 16)
        return hexDigits(rest, 16);
    return length == 26 && hexDigits(rest, 16) && rest[16] == '_' && rest[17] == 'G' &&
           hexDigits(rest + 18, 8);
}

} // namespace

int removeLeftoverFrameAreas() {
    const std::string prefix = segmentName(kTextureSegmentName) + "_F";
    DIR *folder = opendir("/dev/shm");
    if (!folder)
        return 0;
    int removed = 0;
    while (dirent *entry = readdir(folder)) {
        if (!isFrameAreaName(entry->d_name, prefix))
            continue;
        struct stat info;
        if (fstatat(dirfd(folder), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            info.st_uid != geteuid() || !S_ISREG(info.st_mode))
            continue;
        if (shm_unlink((std::string("/") + entry->d_name).c_str()) == 0)
            ++removed;
    }
    closedir(folder);
    return removed;
}

} // namespace KEL
