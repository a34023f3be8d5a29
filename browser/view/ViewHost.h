#pragma once
// What views and their pages need from the process that holds them: whether page script may
// open windows, and a view for each window it opens. The browser's core implements it with the
// view registry; views and pages only see this interface. GUI thread only.

#include <QString>

#include <cstdint>

namespace KEL {

class EngineView;

class ViewHost {
  public:
    virtual ~ViewHost() = default;

    // ALWP: page script and links may open new windows as popup views.
    virtual bool allowPopups() const = 0;
    // Makes a popup view (800 x 600, partial updates on) named after a fresh popup index, which
    // goes to *index, for the page of `opener`. Null when no popup may be opened now; the page
    // then opens nothing.
    virtual EngineView *createPopupView(int32_t *index, EngineView *opener) = 0;
};

// "PopupView<index>": the name of a popup view.
inline QString popupViewName(int32_t index) {
    return QStringLiteral("PopupView%1").arg(index);
}

// The size every popup view starts with.
constexpr int32_t kPopupWidth = 800;
constexpr int32_t kPopupHeight = 600;

} // namespace KEL
