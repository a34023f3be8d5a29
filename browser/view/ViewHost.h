#pragma once
// What views and their pages need from the process that holds them: whether page script may
// open windows, and a view for each window it opens. The browser's core implements it with the
// view registry; views and pages only see this interface. GUI thread only.

#include <cstdint>

namespace KEL {

class WebView;

class ViewHost {
  public:
    virtual ~ViewHost() = default;

    // ALWP: page script and links may open new windows as popup views.
    virtual bool allowPopups() const = 0;
    // Makes a popup view (800 x 600, partial updates on) named after a fresh popup index, which
    // goes to *index. Null when no popup may be opened now; the page then opens nothing.
    virtual WebView *createPopupView(int32_t *index) = 0;
};

// The size every popup view starts with.
constexpr int32_t kPopupWidth = 800;
constexpr int32_t kPopupHeight = 600;

} // namespace KEL
