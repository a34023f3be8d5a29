// The error page WPE WebKit shows for a load the network could not serve: the shape hosts and
// kelshot read a failed load from, and no text of the address or the engine runs as markup.

#include "wpe/WpeErrorPage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace KEL {
namespace Test {
namespace {

TEST(WpeErrorPage, NamesTheReasonTheAddressAndTheCodeAsTextOnly) {
    struct Case {
        const char *name;
        const char *address;
        const char *message;
        int code;
        std::vector<const char *> present;
        std::vector<const char *> absent;
    };
    const Case cases[] = {
        {"refused",
         "http://127.0.0.1:9/",
         "Could not connect to 127.0.0.1: Connection refused",
         39,
         {"<title>Connection refused</title>", "<p>Failed to load URL http://127.0.0.1:9/.</p>",
          "Could not connect to 127.0.0.1: Connection refused", "<pre>WebKit Error 39</pre>"},
         {}},
        {"a reason alone",
         "http://a/",
         "Request blocked",
         103,
         {"<title>Request blocked</title>", "<pre>WebKit Error 103</pre>"},
         {}},
        {"markup in the address and the message",
         "http://a/<script>x()</script>",
         "failed: <img src=x onerror=y()> & more",
         0,
         {"<title>&lt;img src=x onerror=y()&gt; &amp; more</title>",
          "http://a/&lt;script&gt;x()&lt;/script&gt;."},
         {"<script>", "<img"}},
        {"escapes in the address",
         "http://a/x?q=a%3Db%2Fc%1",
         "Could not connect: Connection refused",
         7,
         {"<p>Failed to load URL http://a/x?q=a%3Db%2Fc%1.</p>", "<pre>WebKit Error 7</pre>"},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string page =
            errorPageHtml(QString::fromUtf8(c.address), QString::fromUtf8(c.message), c.code)
                .toStdString();
        for (const char *text : c.present)
            EXPECT_NE(page.find(text), std::string::npos) << text << "\n" << page;
        for (const char *text : c.absent)
            EXPECT_EQ(page.find(text), std::string::npos) << text << "\n" << page;
    }
}

} // namespace
} // namespace Test
} // namespace KEL
