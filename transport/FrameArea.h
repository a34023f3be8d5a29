#pragma once
// A view's frame area: the shared memory through which a view switched off the texture segment
// ("RATE") hands its frames to the host, each view at its own rate and size.
//
// Two kinds of segment per view, both created by the browser (it alone knows the size), mode
// 0600, and checked for owner and mode by the host like the others:
//
// - the control segment "<texture segment name>_F<16 hex digits>" (the digits: FNV-1a 64 over
//   the view name's UTF-16 units, low byte first), kFrameControlSize bytes, never resized. It
//   holds the one word both sides change, `state`, and the host's `taken` hint.
// - the pixel segment of a generation, "<control name>_G<8 hex digits of the generation>":
//   a FramePixelsHeader with one FrameSlot descriptor per frame (`frames`), then three frames of
//   slotBytes each from kFramePixelsOffset on. A pixel segment is never resized either (the
//   other side may have it mapped: a shrunken one faults on touch). A view that outgrows its
//   frames gets a new generation; the old name goes at once, the old mapping stays valid for
//   whoever holds it. Space is reserved with posix_fallocate, so a full /dev/shm is an error
//   at creation, not a fault at first touch.
//
// `state` (lock-free, address-free 64-bit atomic) packs: the newest finished slot (0..2, 3 none),
// the slot the host holds (0..2, 3 none), the generation the two refer to, and the newest
// frame's number. The browser writes only a slot that is neither newest nor held (of three
// there is always one), fills its descriptor, then publishes it as newest by CAS (release).
// The host takes the newest by CAS (acquire), setting `held` to it, and clears `held` again to
// release it; a new generation starts with nothing held. Nobody ever waits for the other side.
//
// The names go with the view (RMVW, the browser's shutdown), with the host (KEL_Shutdown removes
// those it mapped; the browser's watchdog those of a hung page whose host is gone) and, left
// by a killed browser, at the next KEL_Init under the same names.
//
// Everything in both segments is written by the other process and is checked before use: slot
// indices, generation, sizes, strides, rectangle counts and rectangles, frame numbers.

#include "KELPlugin.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace KEL {

using FrameRect = ::KEL_FrameRect;

constexpr int kFrameSlots = 3;
constexpr int32_t kMaxFrameSide = KEL_FRAME_MAX_SIDE;
constexpr int kMaxFrameRects = KEL_FRAME_MAX_RECTS;
constexpr uint32_t kFrameControlMagic = 0x4643454bu; // "KECF"
constexpr uint32_t kFramePixelsMagic = 0x5046454bu;  // "KEFP"
constexpr uint32_t kFrameLayoutVersion = 1;
constexpr uint32_t kFrameNoSlot = 3;
// A frame of the largest size: every slot fits in this many bytes, so no product read from a
// segment can pass it.
constexpr uint64_t kMaxFrameBytes = uint64_t(kMaxFrameSide) * kMaxFrameSide * 4;
// Rates (frames per second) and scales (percent) a RATE request may set.
constexpr int32_t kMaxFrameRate = 60;
constexpr bool validFrameScale(int32_t percent) {
    return percent == 100 || percent == 150 || percent == 200;
}
// A side a view on its frame area is laid out at: at least 16, and small enough that the
// painted side (times `scale`) fits. Unsigned, like the texture path's sides: a negative side
// the host sent is taken as too large.
inline uint32_t frameAreaViewSide(uint32_t side, double scale) {
    constexpr uint32_t kSmallest = 16;
    const uint32_t largest = uint32_t(kMaxFrameSide / scale);
    return side < kSmallest ? kSmallest : side > largest ? largest : side;
}

struct FrameControl {
    uint32_t magic;   // kFrameControlMagic
    uint32_t version; // kFrameLayoutVersion
    std::atomic<uint64_t> state;
    // The number of the frame the host took last (host writes, browser reads as a hint: it
    // decides how far back the rectangles of the next frame reach).
    std::atomic<uint64_t> taken;
    uint8_t reserved[104];
};
constexpr uint32_t kFrameControlSize = 4096;
static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "the frame state is shared between processes: it must be lock-free");
static_assert(sizeof(std::atomic<uint64_t>) == sizeof(uint64_t) &&
                  alignof(std::atomic<uint64_t>) == alignof(uint64_t),
              "a lock-free atomic is its value alone, so it is address-free");
static_assert(std::is_standard_layout<FrameControl>::value, "FrameControl is shared memory");
static_assert(sizeof(FrameControl) == 128, "FrameControl layout");
static_assert(offsetof(FrameControl, state) == 8, "FrameControl layout");
static_assert(offsetof(FrameControl, taken) == 16, "FrameControl layout");
static_assert(sizeof(FrameControl) <= kFrameControlSize, "FrameControl fits its segment");

// Describes the frame in one slot; written by the browser only while the slot is neither
// newest nor held. The same fields as KEL_Frame after its pointer.
struct FrameSlot {
    int32_t width;  // painted pixels, 1..kMaxFrameSide
    int32_t height; // painted pixels, 1..kMaxFrameSide
    int32_t stride; // bytes per row, >= width * 4
    uint32_t number;
    uint32_t changesSince;
    int32_t rectCount; // -1 (whole frame) or 0..kMaxFrameRects
    FrameRect rects[kMaxFrameRects];
};
static_assert(sizeof(FrameSlot) == 280, "FrameSlot layout");
static_assert(offsetof(FrameSlot, number) == 12 && offsetof(FrameSlot, rects) == 24,
              "FrameSlot layout");
static_assert(offsetof(FrameSlot, width) == offsetof(KEL_Frame, width) - 8 &&
                  offsetof(FrameSlot, rects) == offsetof(KEL_Frame, rects) - 8,
              "a slot's descriptor is KEL_Frame after its pointer");

struct FramePixelsHeader {
    uint32_t magic;      // kFramePixelsMagic
    uint32_t generation; // as in the segment's name
    uint64_t slotBytes;  // bytes of each frame, a multiple of 4096, at most kMaxFrameBytes
    FrameSlot frames[kFrameSlots];
};
static_assert(std::is_trivially_copyable<FramePixelsHeader>::value, "shared memory");
static_assert(sizeof(FramePixelsHeader) == 856, "FramePixelsHeader layout");
static_assert(offsetof(FramePixelsHeader, slotBytes) == 8, "FramePixelsHeader layout");
static_assert(offsetof(FramePixelsHeader, frames) == 16, "FramePixelsHeader layout");
constexpr uint64_t kFramePixelsOffset = 4096;
static_assert(sizeof(FramePixelsHeader) <= kFramePixelsOffset, "header fits before the frames");
constexpr uint64_t framePixelsSegmentSize(uint64_t slotBytes) {
    return kFramePixelsOffset + kFrameSlots * slotBytes;
}
// Bytes one slot needs for a frame of width x height painted pixels, in whole pages.
constexpr uint64_t frameSlotBytes(int32_t width, int32_t height) {
    return (uint64_t(width) * uint64_t(height) * 4 + 4095) / 4096 * 4096;
}
static_assert(frameSlotBytes(kMaxFrameSide, kMaxFrameSide) == kMaxFrameBytes, "largest frame");

// The packed state word.
struct FrameState {
    uint32_t newest = kFrameNoSlot;
    uint32_t held = kFrameNoSlot;
    uint32_t generation = 0; // 28 bits
    uint32_t number = 0;     // of the newest frame; 0 before the first
};
constexpr uint32_t kFrameGenerationMask = 0x0fffffffu;
constexpr uint64_t packFrameState(const FrameState &s) {
    return uint64_t(s.newest & 3u) | uint64_t(s.held & 3u) << 2 |
           uint64_t(s.generation & kFrameGenerationMask) << 4 | uint64_t(s.number) << 32;
}
constexpr FrameState unpackFrameState(uint64_t word) {
    FrameState s;
    s.newest = uint32_t(word & 3u);
    s.held = uint32_t(word >> 2 & 3u);
    s.generation = uint32_t(word >> 4) & kFrameGenerationMask;
    s.number = uint32_t(word >> 32);
    return s;
}
static_assert(unpackFrameState(packFrameState({2, 1, 0x0abcdef1u, 0xfffffffeu})).generation ==
                  0x0abcdef1u,
              "state packing");

// FNV-1a 64 over the UTF-16 units (low byte first) of a view name of `length` units.
uint64_t frameAreaHash(const uint16_t *name, size_t length);
// "<texture segment name>_F<hash>": the control segment of a view (suffix included, read now).
std::string frameControlName(const uint16_t *name, size_t length);
// "<control name>_G<generation>".
std::string framePixelsName(const std::string &controlName, uint32_t generation);

// A descriptor copied out of shared memory, checked against the mapped size and the state:
// true when its sizes, stride, rectangle count and rectangles are possible for a segment whose
// slots are slotBytes long and its number is `number`. Rectangles are checked, never clipped: a
// descriptor with one outside its frame is refused whole.
bool validFrameSlot(const FrameSlot &slot, uint64_t slotBytes, uint32_t number);

// One mapped POSIX shared-memory object, unmapped (and, if asked, unlinked) on destruction.
class FrameMapping {
  public:
    // Browser side: creates `name` (exclusive; a leftover of that name is removed first), of
    // `size` bytes reserved with posix_fallocate, mode 0600. Null on failure (logged).
    static std::unique_ptr<FrameMapping> create(const std::string &name, uint64_t size);
    // Host side: opens an existing `name` read-write, checks owner and mode, maps its whole
    // current size (at least minSize, at most maxSize). Null when missing (not logged) or
    // refused (logged).
    static std::unique_ptr<FrameMapping> open(const std::string &name, uint64_t minSize,
                                              uint64_t maxSize);
    ~FrameMapping();
    FrameMapping(const FrameMapping &) = delete;
    FrameMapping &operator=(const FrameMapping &) = delete;

    uint8_t *base() const { return m_base; }
    uint64_t size() const { return m_size; }
    const std::string &name() const { return m_name; }
    // Removes the name now (the mapping stays valid); once only.
    void unlinkName();
    // Whether the name still names the object mapped here.
    bool nameIsOurs() const;

  private:
    FrameMapping() = default;
    std::string m_name;
    uint8_t *m_base = nullptr;
    uint64_t m_size = 0;
    uint64_t m_device = 0;
    uint64_t m_inode = 0;
    bool m_linked = false;
};

// The browser's side of one view's frame area: the control segment, made at once, and the
// pixel segment of the current generation.
class FrameAreaPublisher {
  public:
    // Creates the control segment; ready() tells whether that worked (logged when not).
    explicit FrameAreaPublisher(std::string controlName);
    // Removes the names of both segments (the host's mappings stay valid).
    ~FrameAreaPublisher();
    FrameAreaPublisher(const FrameAreaPublisher &) = delete;
    FrameAreaPublisher &operator=(const FrameAreaPublisher &) = delete;

    bool ready() const { return m_control != nullptr; }
    // Frames of width x height (1..kMaxFrameSide) fit afterwards: true at once when they fit
    // the current generation, else a new generation is made and announced (nothing held, no
    // newest frame) and the old name removed. False (logged) when that fails.
    bool reserve(int32_t width, int32_t height);
    // Whether reserve() made a new generation since the last call (the slots are empty).
    bool takeGenerationChanged();
    // The slot to write next: neither the newest nor the one the host holds.
    int freeSlot() const;
    // The newest published slot of this generation, or -1.
    int newestSlot() const;
    uint8_t *slotPixels(int slot) const;
    FrameSlot &slotDescriptor(int slot) const;
    uint64_t slotBytes() const { return m_slotBytes; }
    // Makes `slot`, whose descriptor says frame `number`, the newest; the host may take it now.
    void publish(int slot, uint32_t number);
    // The frame the host says it took last: a hint, any value.
    uint32_t hostTaken() const;
    uint32_t generation() const { return m_generation; }
    const std::string &controlName() const { return m_controlName; }

  private:
    FrameControl *control() const { return reinterpret_cast<FrameControl *>(m_control->base()); }

    std::string m_controlName;
    std::unique_ptr<FrameMapping> m_control;
    std::unique_ptr<FrameMapping> m_pixels;
    uint32_t m_generation = 0;
    uint64_t m_slotBytes = 0;
    bool m_generationChanged = false;
};

// The host's side of one view's frame area. Maps the segments lazily, re-maps when the browser
// announces a new generation or when the name no longer names what it mapped (the view was
// made anew, or a new browser runs), and never waits.
class FrameAreaReader {
  public:
    explicit FrameAreaReader(std::string controlName) : m_controlName(std::move(controlName)) {}
    ~FrameAreaReader();
    FrameAreaReader(const FrameAreaReader &) = delete;
    FrameAreaReader &operator=(const FrameAreaReader &) = delete;

    // 1: the newest frame, newer than the last one taken, is held and described in *frame (its
    // pixels stay valid until release() or the next take()); 0: nothing newer; -1: no area
    // (yet) or a refused frame (logged once per area).
    int take(KEL_Frame &frame);
    // Hands the held frame back; nothing when none is held.
    void release();
    // Forgets that a frame was taken: the next take() hands out the newest again.
    void forgetTaken(uint32_t number, bool any);
    uint32_t lastTaken() const { return m_lastTaken; }
    bool hasTaken() const { return m_hasTaken; }
    // Removes the names of the segments mapped here, if they still name them (host shutdown).
    void removeNames();

  private:
    bool mapControl();
    bool mapGeneration(uint32_t generation);
    void reset();
    int refuse(const char *why);

    std::string m_controlName;
    std::unique_ptr<FrameMapping> m_control;
    std::shared_ptr<FrameMapping> m_pixels;
    uint32_t m_generation = 0;
    uint64_t m_slotBytes = 0;
    // The frame handed out and not yet released: its mapping stays alive with it.
    std::shared_ptr<FrameMapping> m_heldPixels;
    uint32_t m_heldSlot = kFrameNoSlot;
    uint32_t m_heldGeneration = 0;
    uint32_t m_lastTaken = 0;
    bool m_hasTaken = false;
    bool m_refusalLogged = false;
};

// The frame-area names this process made and has not removed yet, in a fixed table that the
// watchdog can walk without allocating or locking while the GUI thread is stuck: a hung page
// whose host is gone must not leave them behind. FrameMapping::create adds each name and
// unlinkName takes it out again.
class FrameAreaNames {
  public:
    static constexpr int kCapacity = 256;
    static constexpr size_t kMaxNameBytes = 128;

    // False (not recorded) when the table is full or the name too long.
    bool add(const std::string &name, uint64_t device, uint64_t inode);
    void forget(const std::string &name);
    // Removes each recorded name that still names the object this process made (a new host's
    // browser may have made the same name since); returns how many. Any thread.
    int removeStillOwn();
    int count() const;

  private:
    struct Entry {
        // Even: free; odd: in use. Changed only by the owning thread, read by the watchdog
        // before and after it copies the entry.
        std::atomic<uint32_t> version{0};
        char name[kMaxNameBytes] = {};
        uint64_t device = 0;
        uint64_t inode = 0;
    };
    Entry m_entries[kCapacity];
};
FrameAreaNames &madeFrameAreaNames();

// Removes every frame-area name (control or pixel segment) under this process's texture
// segment name that belongs to the current user: leftovers of a browser that could not remove
// them. Returns how many. For KEL_Init, before any browser of this host exists.
int removeLeftoverFrameAreas();

} // namespace KEL
