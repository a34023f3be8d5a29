// View's bookkeeping with the browser, without a browser process: views join and leave their
// Browser's pump, and a View may outlive its Browser.

#include "KELHost.h"
#include "View.h"

#include <gtest/gtest.h>

#include <memory>

namespace KEL {
namespace Host {
namespace {

// Guards the pump's list of views: one that went is never called again (a dangling entry would
// be a use after free under the sanitizers), and a View whose Browser went first does not
// reach back into it when it goes.
TEST(ViewUnit, ViewsLeaveThePumpAndMayOutliveTheirBrowser) {
    auto browser = std::make_unique<Browser>();
    auto kept = std::make_unique<View>(*browser, "kept");
    {
        View passing(*browser, "passing");
        ViewOptions texture;
        texture.path = FramePath::Texture;
        View old(*browser, "old", texture);
        EXPECT_EQ(old.path(), FramePath::Texture);
        EXPECT_EQ(passing.path(), FramePath::Area);
    }
    browser->pump(); // not started: nothing to take, and no view that went is called
    EXPECT_FALSE(kept->takeFrame()) << "a view that does not exist yet takes nothing";
    EXPECT_EQ(kept->frame(), nullptr);
    browser.reset();
    kept.reset();
}

} // namespace
} // namespace Host
} // namespace KEL
