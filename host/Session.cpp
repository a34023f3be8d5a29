#include "Session.h"

#include "KELHost.h"

#include "CommandCodes.h"
#include "FrameArea.h"
#include <algorithm>

namespace KEL {
namespace Host {

namespace {

// A request as posted anew: no sequence, no result, from the host.
KEL_Command fresh(KEL_Command record) {
    record.sequence = 0;
    record.origin = 0;
    record.result = 0;
    return record;
}

KEL_Command viewRequest(const char *code, const std::u16string &view) {
    KEL_Command command = makeCommand(code);
    setString(command, 0, view);
    return command;
}

KEL_Command flagRequest(const char *code, const std::u16string &view, bool flag) {
    KEL_Command command = viewRequest(code, view);
    setInt(command, 0, flag ? 1 : 0);
    return command;
}

} // namespace

SessionView *Session::find(const std::u16string &name) {
    auto it = std::find_if(m_views.begin(), m_views.end(),
                           [&](const SessionView &view) { return view.name == name; });
    return it == m_views.end() ? nullptr : &*it;
}

const SessionView *Session::view(const std::u16string &name) const {
    return const_cast<Session *>(this)->find(name);
}

void Session::observe(const KEL_Command &request, const std::u16string *htmlText) {
    const std::u16string name = getString(request, 0);
    if (hasCode(request, KEL::Code::CRVW)) {
        if (find(name)) // the browser refuses a name that exists
            return;
        SessionView view;
        view.name = name;
        view.width = request.intArgs[0];
        view.height = request.intArgs[1];
        view.partial = request.intArgs[2] != 0;
        m_views.push_back(std::move(view));
    } else if (hasCode(request, KEL::Code::RMVW)) {
        m_views.erase(std::remove_if(m_views.begin(), m_views.end(),
                                     [&](const SessionView &view) { return view.name == name; }),
                      m_views.end());
    } else if (hasCode(request, KEL::Code::ALWP)) {
        m_allowPopups = fresh(request);
    } else if (hasCode(request, KEL::Code::DSMR)) {
        m_debugPartial = fresh(request);
    } else if (hasCode(request, KEL::Code::AUTH)) {
        m_auth = fresh(request);
    } else if (hasCode(request, KEL::Code::PRXY)) {
        m_proxy = fresh(request);
    } else if (hasCode(request, KEL::Code::ADDO) || hasCode(request, KEL::Code::SETP)) {
        if (std::find(m_objects.begin(), m_objects.end(), name) == m_objects.end())
            m_objects.push_back(name);
        if (hasCode(request, KEL::Code::SETP))
            m_properties[{name, getString(request, 1)}] = getString(request, 2);
        else if (!getString(request, 1).empty())
            m_allowedOrigins[name] = getString(request, 1);
    } else if (SessionView *view = find(name)) {
        if (hasCode(request, KEL::Code::RSIZ)) {
            view->width = request.intArgs[0];
            view->height = request.intArgs[1];
        } else if (hasCode(request, KEL::Code::SSMR)) {
            view->partial = request.intArgs[0] != 0;
        } else if (hasCode(request, KEL::Code::SACT)) {
            view->active = request.intArgs[0] != 0;
        } else if (hasCode(request, KEL::Code::SMSK)) {
            view->transparent = request.intArgs[0] != 0;
        } else if (hasCode(request, KEL::Code::RATE)) {
            // The browser refuses values out of range and keeps what it had: so does the replay.
            const int32_t rate = request.intArgs[0], scale = request.intArgs[1];
            if (rate >= 0 && rate <= KEL::kMaxFrameRate && KEL::validFrameScale(scale)) {
                view->frameArea = true;
                view->frameRate = rate;
                view->frameScale = scale;
            }
        } else if (hasCode(request, KEL::Code::LOAD)) {
            view->load = fresh(request);
            view->html.reset();
            view->htmlUnknown = false;
        } else if (hasCode(request, KEL::Code::HTML)) {
            view->load.reset();
            view->htmlUnknown = htmlText == nullptr;
            if (htmlText)
                view->html = *htmlText;
            else
                view->html.reset();
        }
    }
}

std::vector<ReplayRecord> Session::replay(bool withPages) const {
    std::vector<ReplayRecord> out;
    auto add = [&out](const KEL_Command &record) { out.push_back({fresh(record), {}}); };
    for (const auto *setting : {&m_allowPopups, &m_debugPartial, &m_proxy, &m_auth}) {
        if (*setting)
            add(**setting);
    }
    for (const std::u16string &object : m_objects) {
        KEL_Command create = viewRequest(KEL::Code::ADDO, object);
        const auto allowed = m_allowedOrigins.find(object);
        if (allowed != m_allowedOrigins.end())
            setString(create, 1, allowed->second);
        add(create);
    }
    for (const auto &[key, value] : m_properties) {
        KEL_Command set = viewRequest(KEL::Code::SETP, key.first);
        setString(set, 1, key.second);
        setString(set, 2, value);
        add(set);
    }
    for (const SessionView &view : m_views) {
        KEL_Command create = viewRequest(KEL::Code::CRVW, view.name);
        setInt(create, 0, view.width);
        setInt(create, 1, view.height);
        setInt(create, 2, view.partial ? 1 : 0);
        add(create);
        // Straight after the view, so that its first frame already goes to its frame area.
        if (view.frameArea) {
            KEL_Command rate = viewRequest(KEL::Code::RATE, view.name);
            setInt(rate, 0, view.frameRate);
            setInt(rate, 1, view.frameScale);
            add(rate);
        }
        if (view.transparent)
            add(flagRequest(KEL::Code::SMSK, view.name, true));
        if (!view.active)
            add(flagRequest(KEL::Code::SACT, view.name, false));
        if (!withPages)
            continue;
        if (view.load)
            add(*view.load);
        else if (view.html)
            out.push_back({viewRequest(KEL::Code::HTML, view.name), view.html});
    }
    return out;
}

bool Session::dropPage(const std::u16string &name) {
    SessionView *view = find(name);
    if (!view || (!view->load && !view->html && !view->htmlUnknown))
        return false;
    view->load.reset();
    view->html.reset();
    view->htmlUnknown = false;
    return true;
}

std::vector<std::string> Session::viewNames() const {
    std::vector<std::string> names;
    for (const SessionView &view : m_views)
        names.push_back(utf8(view.name));
    return names;
}

void Session::clear() {
    *this = Session();
}

} // namespace Host
} // namespace KEL
