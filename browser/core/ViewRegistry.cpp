#include "core/ViewRegistry.h"

#include "CommandBuffer.h"
#include "CommandCodes.h"
#include "Log.h"
#include "TextureBuffer.h"
#include "core/BrowserContext.h"
#include "core/Engine.h"
#include "core/EngineView.h"
#include "view/Notice.h"

#include <climits>

namespace KEL {

namespace {

std::string text8(const QString &text) {
    return text.toUtf8().toStdString();
}

} // namespace

ViewRegistry::ViewRegistry(BrowserContext &context)
    : m_context(context), m_engine(*context.engine), m_notices(context.notices) {}

ViewRegistry::~ViewRegistry() {
    removeAllViews();
}

EngineView *ViewRegistry::createView(const QString &name, int32_t width, int32_t height,
                                     bool partialUpdates, EngineView *opener, int32_t popupIndex) {
    if (m_views.count(name)) {
        logMessage("WebView already exists: " + text8(name));
        return nullptr;
    }
    logMessage("Creating Web View: " + text8(name) + " " + std::to_string(width) + " x " +
               std::to_string(height));
    std::unique_ptr<EngineView> view =
        m_engine.createView(name, partialUpdates, m_notices, this, opener, popupIndex);
    if (!view)
        return nullptr;
    EngineView *created = view.get();
    created->earlyTickHook = [this] {
        if (m_earlyTickHook)
            m_earlyTickHook();
    };
    m_views.emplace(name, std::move(view));
    created->setViewSize(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    return created;
}

EngineView *ViewRegistry::findView(const QString &name) const {
    const auto it = m_views.find(name);
    return it == m_views.end() ? nullptr : it->second.get();
}

void ViewRegistry::removeView(EngineView *view) {
    if (!view)
        return;
    const auto it = m_views.find(view->name());
    if (it == m_views.end() || it->second.get() != view)
        return;
    m_engine.forgetFrameArea(view->name());
    std::unique_ptr<EngineView> owned = std::move(it->second);
    m_views.erase(it);
    logMessage("Destroying Web View: " + text8(owned->name()));
    owned.reset();
    resetTextureAfterRemoval();
}

bool ViewRegistry::allowPopups() const {
    return m_context.allowPopups;
}

int ViewRegistry::livePopups() const {
    int count = 0;
    for (const auto &entry : m_views)
        count += entry.second->popupIndex() != -1 ? 1 : 0;
    return count;
}

EngineView *ViewRegistry::createPopupView(int32_t *index, EngineView *opener) {
    if (m_closing)
        return nullptr;
    if (livePopups() >= kMaxPopupViews) {
        if (!m_popupLimitLogged)
            logMessage("Popup refused: " + std::to_string(kMaxPopupViews) +
                       " popup views are open");
        m_popupLimitLogged = true;
        return nullptr;
    }
    int32_t &counter = m_context.popupCounter;
    while (counter < INT32_MAX && findView(popupViewName(counter)))
        ++counter;
    if (counter == INT32_MAX)
        return nullptr; // every index used up; the counter never wraps to reuse a name
    const int32_t chosen = counter++;
    EngineView *view =
        createView(popupViewName(chosen), kPopupWidth, kPopupHeight, true, opener, chosen);
    if (!view)
        return nullptr;
    m_popupLimitLogged = false;
    *index = chosen;
    return view;
}

void ViewRegistry::removeAllViews() {
    m_closing = true;
    m_engine.clearFrameAreas();
    for (auto &entry : m_views) {
        logMessage("Destroying Web View: " + text8(entry.first));
        entry.second.reset();
    }
    m_views.clear();
    m_closing = false;
}

// A frame of the removed view that the host has not taken would otherwise be announced for a
// view that is gone, and would block every later delivery until taken. Texture lock first,
// then the command lock inside removePending: the view tick nests them the other way, which is
// safe because the host never nests them.
void ViewRegistry::resetTextureAfterRemoval() {
    TextureBuffer *texture = m_context.textureBuffer.get();
    CommandBuffer *commands = m_context.commandBuffer.get();
    if (texture && texture->header()) {
        ScopedLock lock(texture->segmentLock());
        if (lock)
            texture->header()->pending = 0;
        if (commands)
            commands->removePending(Code::UPVW);
    }
    m_served.clear();
}

bool ViewRegistry::texturePending() {
    TextureBuffer *texture = m_context.textureBuffer.get();
    if (!texture || !texture->header())
        return true;
    ScopedLock lock(texture->segmentLock());
    // A lock the host holds for too long counts as busy: nothing is painted this tick.
    if (!lock || texture->header()->pending != 0)
        return true;
    reofferUntakenFrame(*texture->header());
    return false;
}

// A host copy of a whole frame clears `full`; a released segment that still says `full` was
// released without the copy (its UPVW was dropped by KEL_ClearCommands, or withdrawn by a
// removal). The host's texture then lacks that frame, and the rectangles that follow cover only
// what changed after it, so the view that had it offers a whole frame next. Rectangles need
// nothing: each delivery's blocks cover everything since the view's last whole frame. The
// caller holds the texture lock.
void ViewRegistry::reofferUntakenFrame(TextureHeader &header) {
    if (header.full != 1)
        return;
    header.full = 0;
    if (EngineView *view = findView(m_lastDelivered))
        view->withdrawDelivery();
    m_served.removeAll(m_lastDelivered);
}

void ViewRegistry::viewTick() {
    m_engine.frameTick();
    // While the host has not taken the last delivery, nothing is painted, delivered or
    // announced, LDFN included.
    if (texturePending())
        return;

    for (auto &entry : m_views) {
        if (entry.second->isActive() && !entry.second->onFrameArea())
            entry.second->renderFrame();
    }
    deliverOneFrame();

    // A load's LDFN follows the delivery of the frames painted before it.
    for (auto &entry : m_views) {
        EngineView *view = entry.second.get();
        if (view->isLoadFinishedPending() && !view->isDirty() && !view->onFrameArea())
            view->postLoadFinished();
    }
}

// Dirty views take turns: each gets one delivery per cycle, in name order, so one busy view
// cannot starve the others.
EngineView *ViewRegistry::chooseViewToDeliver() {
    for (auto &entry : m_views) {
        if (entry.second->isDirty() && !m_served.contains(entry.first)) {
            m_served.append(entry.first);
            return entry.second.get();
        }
    }
    m_served.clear();
    for (auto &entry : m_views) {
        if (entry.second->isDirty()) {
            m_served.append(entry.first);
            return entry.second.get();
        }
    }
    return nullptr;
}

// The command lock is held from the copy to the UPVW, so the host cannot find the notice
// before the frame, nor a frame of a view whose notice was withdrawn. The texture lock is held
// across both too (it is recursive; the copy takes it again), so a frame whose notice cannot
// be posted is always withdrawn.
void ViewRegistry::deliverOneFrame() {
    CommandBuffer *commands = m_context.commandBuffer.get();
    TextureBuffer *texture = m_context.textureBuffer.get();
    if (!commands || !texture || !texture->header())
        return;
    ScopedLock commandLock(commands->segmentLock());
    if (!commandLock)
        return;
    ScopedLock textureLock(texture->segmentLock());
    if (!textureLock)
        return;
    EngineView *view = chooseViewToDeliver();
    if (!view || !view->copyToTextureBuffer(*texture, m_context.debugPartialUpdates))
        return;
    m_lastDelivered = view->name();
    if (!Notice(m_notices, Code::UPVW).string(0, view->name()).post())
        withdrawFrame(*texture, *view);
}

// A frame whose UPVW could not be posted (the command segment is full) would keep `pending`
// set for ever: the host never hears of it, so it never releases the segment. Withdrawn as a
// view removal withdraws it, the frame is offered again, whole, once the host has drained its
// records. The caller holds both locks.
void ViewRegistry::withdrawFrame(TextureBuffer &texture, EngineView &view) {
    texture.header()->pending = 0;
    texture.header()->full = 0;
    view.withdrawDelivery();
    m_served.removeAll(view.name());
}

} // namespace KEL
