#pragma once
// What a host has set up in the browser process, learnt from the requests it posts, so that a
// fresh browser process can be given the same state after the old one died or hung.
//
// Kept: every view the host created (name, size, partial deliveries, active, transparent, its
// frame area's rate and scale, and the last address or HTML text it was given), ALWP, DSMR, AUTH,
// PRXY, bridge objects and their properties. Navigation inside a page (links, history, script) is
// not followed: a view comes back with what the host last asked for. Popup views, which the page
// made, are not kept.
//
// Plain code over records; it never talks to the plugin.

#include "KELPlugin.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace KEL {
namespace Host {

struct SessionView {
    std::u16string name;
    int32_t width = 0, height = 0;
    bool partial = false;
    bool active = true;
    bool transparent = false;
    // RATE: the view paints into its own frame area at this rate and scale (percent).
    bool frameArea = false;
    int32_t frameRate = 0, frameScale = 100;
    // The content last asked for: a LOAD record (its address as the host split it), or HTML text.
    std::optional<KEL_Command> load;
    std::optional<std::u16string> html;
    // HTML was posted but its text could not be known (a payload the kit did not store).
    bool htmlUnknown = false;
};

// One request of a replay; `html` is the text that the poster stores as the record's payload
// (intArgs 0 and 1) just before posting.
struct ReplayRecord {
    KEL_Command record;
    std::optional<std::u16string> html;
};

class Session {
  public:
    // Learns from one request the host posts. `htmlText` is the text of an HTML request's
    // payload when the caller knows it (null otherwise).
    void observe(const KEL_Command &request, const std::u16string *htmlText = nullptr);

    // The requests that rebuild everything in a fresh process: process-wide settings and bridge
    // objects first (a page's scripts may use them while loading), then each view in the order
    // it was created. Without `withPages` the views come back empty.
    std::vector<ReplayRecord> replay(bool withPages = true) const;
    // Forgets the page of one view (it then comes back empty); false when it had none.
    bool dropPage(const std::u16string &name);

    // View names in creation order (UTF-8).
    std::vector<std::string> viewNames() const;
    const SessionView *view(const std::u16string &name) const;
    void clear();

  private:
    SessionView *find(const std::u16string &name);

    std::vector<SessionView> m_views; // creation order; a handful of views at most
    std::optional<KEL_Command> m_allowPopups, m_debugPartial, m_auth, m_proxy;
    std::vector<std::u16string> m_objects;                     // creation order
    std::map<std::u16string, std::u16string> m_allowedOrigins; // ADDO's allow lists
    // (object, property) -> value
    std::map<std::pair<std::u16string, std::u16string>, std::u16string> m_properties;
};

} // namespace Host
} // namespace KEL
