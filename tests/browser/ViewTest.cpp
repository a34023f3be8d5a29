// Views through the registry: creation, names, sizing, removal with its texture reset, page
// notices, and the order of shutdown.

#include "BrowserFixture.h"
#include "FrameCompositor.h"

#include "SegmentNames.h"
#include "TextureBuffer.h"

#include "CommandCodes.h"
#include <cstring>
#include <fstream>
#include <sys/wait.h>

namespace KEL {
namespace Test {
namespace {

using Host::makeCommand;
using Host::setInt;
using Host::setString;

class Views : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        ASSERT_TRUE(startBrowser(true));
        m_browser.inbox().clear();
    }

    KEL_Command resize(const std::string &view, int32_t width, int32_t height) {
        KEL_Command command = viewCommand(KEL::Code::RSIZ, view);
        setInt(command, 0, width);
        setInt(command, 1, height);
        return request(command);
    }

    size_t occurrences(const std::string &text) const {
        const std::string log = browserLog();
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }

    std::string writePage(const std::string &file, const std::string &title) {
        const std::string path = m_root + "/" + file;
        std::ofstream(path) << "<html><head><title>" << title << "</title></head>"
                            << "<body><p>" << title << "</p></body></html>";
        return "file://" + path;
    }

    // Waits for the URLC notice of `view` and returns its address (zero unit checked).
    std::string nextAddress(const std::string &view) {
        KEL_Command notice;
        EXPECT_TRUE(m_browser.waitFor(KEL::Code::URLC, &notice, 10000));
        EXPECT_EQ(Host::getString8(notice, 0), view);
        EXPECT_EQ(notice.intCount, 2);
        const std::vector<uint8_t> bytes = Host::takePayload(notice, 0);
        EXPECT_GE(bytes.size(), 2u);
        EXPECT_EQ(bytes.size() % 2, 0u);
        if (bytes.size() >= 2) {
            EXPECT_TRUE(bytes[bytes.size() - 1] == 0 && bytes[bytes.size() - 2] == 0)
                << "the address lacks its terminating zero unit";
        }
        std::u16string text;
        for (size_t i = 0; i + 3 < bytes.size(); i += 2) // every unit but the zero
            text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        return Host::utf8(text);
    }

    void waitForLoadFinished(const std::string &view) {
        KEL_Command notice;
        ASSERT_TRUE(m_browser.waitFor(KEL::Code::LDFN, &notice, 10000));
        EXPECT_EQ(Host::getString8(notice, 0), view);
        EXPECT_EQ(notice.strCount, 1);
    }
};

// Guards the registry's refusal of a taken name, with the exact log lines hosts grep for.
TEST_F(Views, CreatingAViewTwiceIsRefusedAndLogged) {
    EXPECT_EQ(createView("main", 1024, 768).result, 1);
    EXPECT_EQ(createView("main", 1024, 768).result, -1);
    EXPECT_EQ(occurrences("LOG: Creating Web View: main 1024 x 768\n"), 1u);
    EXPECT_EQ(occurrences("LOG: WebView already exists: main\n"), 1u);
}

// Guards removal by exact name, and that a removed name is free again.
TEST_F(Views, RemovesOnlyViewsThatExist) {
    EXPECT_EQ(request(viewCommand(KEL::Code::RMVW, "ghost")).result, -1);
    EXPECT_EQ(createView("Main", 300, 200).result, 1);
    EXPECT_EQ(request(viewCommand(KEL::Code::RMVW, "main")).result, -1)
        << "names are case-sensitive";
    EXPECT_EQ(request(viewCommand(KEL::Code::RMVW, "Main")).result, 1);
    EXPECT_EQ(request(viewCommand(KEL::Code::RMVW, "Main")).result, -1);
    EXPECT_EQ(createView("Main", 300, 200).result, 1);
}

// Guards names at the edges: the empty name is a name, and a string argument that fills all
// 256 units without a zero is read whole (and never beyond).
TEST_F(Views, EmptyAndFullLengthNamesAreNames) {
    EXPECT_EQ(createView("", 300, 200).result, 1);
    EXPECT_EQ(createView("", 300, 200).result, -1);
    EXPECT_EQ(request(viewCommand(KEL::Code::RMVW, "")).result, 1);
    EXPECT_EQ(request(viewCommand(KEL::Code::RMVW, "")).result, -1);

    KEL_Command create = makeCommand(KEL::Code::CRVW);
    for (int i = 0; i < KEL_COMMAND_STR_UNITS; ++i)
        create.strArgs[0][i] = 'v';
    create.strArgs[1][0] = 'X'; // would join the name if the read ran past the slot
    create.strCount = 2;
    setInt(create, 0, 200);
    setInt(create, 1, 200);
    EXPECT_EQ(request(create).result, 1);
    EXPECT_EQ(occurrences("Creating Web View: " + std::string(256, 'v') + " 200 x 200\n"), 1u);
    EXPECT_EQ(request(viewCommand(KEL::Code::RMVW, std::string(255, 'v'))).result, -1);
    KEL_Command remove = create;
    std::memcpy(remove.code, KEL::Code::RMVW, 4);
    EXPECT_EQ(request(remove).result, 1);
}

// Guards RSIZ's answers: 2 exactly when the power-of-two texture changes, sizes clamped to
// 128..1024 (negative ones included), and no change for the current clamped size.
TEST_F(Views, ResizeAnswersTwoWhenTheTextureSizeChanges) {
    EXPECT_EQ(createView("sized", 800, 600).result, 1); // texture 1024 x 1024
    EXPECT_EQ(resize("sized", 100, 2000).result, 2);    // 128 x 1024, texture 128 x 1024
    EXPECT_EQ(resize("sized", 128, 1024).result, 1);    // the same, clamped
    EXPECT_EQ(resize("sized", 300, 300).result, 2);     // texture 512 x 512
    EXPECT_EQ(resize("sized", 400, 400).result, 1);     // still 512 x 512
    EXPECT_EQ(resize("sized", -1, -1).result, 2);       // clamped to 1024 x 1024
    EXPECT_EQ(createView("tiny", 1, 1).result, 1);
    EXPECT_EQ(resize("tiny", 128, 128).result, 1) << "a 1 x 1 view is 128 x 128";
}

// Guards the texture reset on removal: a frame announcement still waiting for the host is
// withdrawn and the texture segment is released, so deliveries can resume.
TEST_F(Views, RemovingAViewWithdrawsAWaitingFrame) {
    // The new view's first frame is taken and the view stopped, so that the only frame
    // announcement left is the one this test stages.
    Host::FrameCompositor frames;
    frames.attach(m_browser);
    EXPECT_EQ(createView("framed", 256, 256).result, 1);
    ASSERT_TRUE(m_browser.waitFor(KEL::Code::UPVW, nullptr, 5000));
    KEL_Command inactive = viewCommand(KEL::Code::SACT, "framed");
    setInt(inactive, 0, 0);
    EXPECT_EQ(request(inactive).result, 1);
    SegmentMapping texture(kTextureSegmentName, kTextureSegmentSize, true);
    ASSERT_TRUE(texture.isOpen());
    auto *header = reinterpret_cast<TextureHeader *>(texture.base() + kTextureHeaderOffset);
    ASSERT_TRUE(texture.withLock([&] { header->pending = 1; }));

    // A frame announcement as the browser would post it, and the removal, in one piece; the
    // segment is then only watched, so the announcement stays unless the browser withdraws it.
    KEL_Command announcement = viewCommand(KEL::Code::UPVW, "framed");
    announcement.origin = 1;
    CommandSegment segment;
    const std::vector<uint32_t> sequences =
        segment.postTogether({announcement, viewCommand(KEL::Code::RMVW, "framed")});
    const bool answered = waitUntil(
        [&] {
            for (const SlotView &slot : segment.snapshot()) {
                if (slot.sequence == sequences[1] && slot.result == 1)
                    return true;
            }
            return false;
        },
        5000);
    ASSERT_TRUE(answered);
    for (const SlotView &slot : segment.snapshot())
        EXPECT_NE(slot.code, KEL::Code::UPVW) << "the frame announcement was not withdrawn";
    uint8_t pending = 1;
    texture.withLock([&] { pending = header->pending; });
    EXPECT_EQ(pending, 0);
}

// Guards LOAD, navigation and their notices: an address split over two string arguments is
// joined, progress and title are reported, the address comes back with its zero unit, LDFN
// follows the load, and history goes back and forward.
TEST_F(Views, LoadsJoinedAddressesAndReportsTheirProgress) {
    // LDFN waits for the load's frames to be taken, as a host does.
    Host::FrameCompositor frames;
    frames.attach(m_browser);
    EXPECT_EQ(createView("nav", 400, 300).result, 1);
    const std::string first = writePage("first.html", "Page one");
    const std::string second = writePage("second.html", "Page two");

    KEL_Command load = viewCommand(KEL::Code::LOAD, "nav");
    const size_t half = first.size() / 2;
    setString(load, 1, first.substr(0, half));
    setString(load, 2, first.substr(half));
    EXPECT_EQ(request(load).result, 1);
    EXPECT_EQ(nextAddress("nav"), first);
    KEL_Command title;
    ASSERT_TRUE(waitForTitle(&title));
    EXPECT_EQ(Host::getString8(title, 0), "nav");
    EXPECT_EQ(Host::getString8(title, 1), "Page one");
    EXPECT_EQ(title.strCount, 2);
    waitForLoadFinished("nav");
    KEL_Command progress;
    int32_t last = -1;
    while (m_browser.take(KEL::Code::PROG, &progress)) {
        EXPECT_EQ(Host::getString8(progress, 0), "nav");
        EXPECT_EQ(progress.intCount, 1);
        last = progress.intArgs[0];
    }
    EXPECT_EQ(last, 100);

    // strCount 2: only strArgs[1] is the address, whatever follows it.
    KEL_Command only = viewCommand(KEL::Code::LOAD, "nav");
    setString(only, 1, second);
    setString(only, 2, std::string("#ignored"));
    only.strCount = 2;
    EXPECT_EQ(request(only).result, 1);
    EXPECT_EQ(nextAddress("nav"), second);
    waitForLoadFinished("nav");

    EXPECT_EQ(request(viewCommand(KEL::Code::HBAK, "nav")).result, 1);
    EXPECT_EQ(nextAddress("nav"), first);
    EXPECT_EQ(request(viewCommand(KEL::Code::HFWD, "nav")).result, 1);
    EXPECT_EQ(nextAddress("nav"), second);
}

// Guards long addresses: the address notice carries the whole address, however long, rather
// than one cut at a fixed staging size.
TEST_F(Views, AddressNoticeCarriesAddressesLongerThan8192Bytes) {
    Host::FrameCompositor frames;
    frames.attach(m_browser);
    EXPECT_EQ(createView("far", 400, 300).result, 1);
    const std::string page = writePage("far.html", "Far");
    KEL_Command load = viewCommand(KEL::Code::LOAD, "far");
    setString(load, 1, page);
    EXPECT_EQ(request(load).result, 1);
    EXPECT_EQ(nextAddress("far"), page);

    const std::string fragment(6000, 'x'); // 2 x 6000 bytes of UTF-16 and more
    KEL_Command jump = viewCommand(KEL::Code::EVJS, "far");
    ASSERT_TRUE(Host::putText(jump, 0, "location.hash = '" + fragment + "'; 0"));
    EXPECT_EQ(request(jump).result, 1);
    EXPECT_EQ(nextAddress("far"), page + "#" + fragment);
}

// Guards the moment of URLC: a script the host runs on it reaches the document at that address
// (for a load the host asked for, a link the page followed, and a step back within the
// document), and changes within the document are told one by one.
TEST_F(Views, AddressNoticeComesWithItsDocument) {
    EXPECT_EQ(createView("when", 400, 300).result, 1);
    const std::string second = writePage("second.html", "Second");
    std::ofstream(m_root + "/first.html")
        << "<html><head><title>First</title></head><body>"
           "<a id='next' href='second.html'>next</a></body></html>";
    const std::string first = "file://" + m_root + "/first.html";
    const auto titleNow = [&] {
        KEL_Command script = viewCommand(KEL::Code::EVJS, "when");
        EXPECT_TRUE(Host::putText(script, 0, "document.title + location.hash"));
        return Host::utf8(Host::takeText(request(script), 0));
    };
    const auto run = [&](const std::string &text) {
        KEL_Command script = viewCommand(KEL::Code::EVJS, "when");
        EXPECT_TRUE(Host::putText(script, 0, text + "; 0"));
        Host::takeText(request(script), 0);
    };
    KEL_Command load = viewCommand(KEL::Code::LOAD, "when");
    setString(load, 1, first);
    EXPECT_EQ(request(load).result, 1);
    EXPECT_EQ(nextAddress("when"), first);
    EXPECT_EQ(titleNow(), "First");

    // One engine tells a change within the document twice: repeats are skipped.
    std::string last = first;
    const auto nextNewAddress = [&] {
        std::string address = last;
        for (int i = 0; i < 3 && address == last; ++i)
            address = nextAddress("when");
        last = address;
        return address;
    };
    run("location.hash = 'a'; location.hash = 'b'");
    EXPECT_EQ(nextNewAddress(), first + "#a");
    EXPECT_EQ(nextNewAddress(), first + "#b");
    EXPECT_EQ(request(viewCommand(KEL::Code::HBAK, "when")).result, 1);
    EXPECT_EQ(nextNewAddress(), first + "#a");
    EXPECT_EQ(titleNow(), "First#a");

    run("document.getElementById('next').click()");
    EXPECT_EQ(nextNewAddress(), second);
    EXPECT_EQ(titleNow(), "Second");
}

// Guards the 125-unit cut on strings the browser writes.
TEST_F(Views, LongTitlesArriveCutTo125Units) {
    EXPECT_EQ(createView("long", 400, 300).result, 1);
    KEL_Command html = viewCommand(KEL::Code::HTML, "long");
    ASSERT_TRUE(Host::putText(html, 0, "<title>" + std::string(200, 't') + "</title>"));
    EXPECT_EQ(request(html).result, 1);
    KEL_Command title;
    ASSERT_TRUE(waitForTitle(&title));
    EXPECT_EQ(Host::getString8(title, 1), std::string(125, 't'));
    for (int i = 125; i < KEL_COMMAND_STR_UNITS; ++i)
        ASSERT_EQ(title.strArgs[1][i], 0) << "unit " << i;
}

// Guards the order of shutdown: every view is destroyed, in name order, before the first
// segment closes.
TEST_F(Views, ShutdownDestroysEveryViewBeforeClosingTheSegments) {
    for (const char *name : {"b", "a", "c"})
        EXPECT_EQ(createView(name, 300, 200).result, 1);
    EXPECT_TRUE(m_browser.stop(10000));
    EXPECT_TRUE(WIFEXITED(m_browser.exitStatus()) && WEXITSTATUS(m_browser.exitStatus()) == 0);

    const std::string log = browserLog();
    const size_t a = log.find("LOG: Destroying Web View: a\n");
    const size_t b = log.find("LOG: Destroying Web View: b\n");
    const size_t c = log.find("LOG: Destroying Web View: c\n");
    const size_t firstClose = log.find("LOG: Closing segment: ");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    ASSERT_NE(firstClose, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, firstClose);
    const size_t command = log.find("Closing segment: KEL_COMMANDBUFFER" + m_suffix + "\n");
    const size_t texture = log.find("Closing segment: KEL_TEXTUREBUFFER" + m_suffix + "\n");
    const size_t data = log.find("Closing segment: KEL_DATABUFFER" + m_suffix + "\n");
    ASSERT_NE(data, std::string::npos);
    EXPECT_LT(command, texture);
    EXPECT_LT(texture, data);
}

} // namespace
} // namespace Test
} // namespace KEL
