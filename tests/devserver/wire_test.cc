// The server's own parsing of what arrives on the wire: escapes, paths, dates and multipart bodies.
#include "devserver/wire.h"

#include <gtest/gtest.h>

#include <random>

#include "devserver/multipart.h"
#include "support/devserver_process.h"

namespace tw::devserver {
namespace {

TEST(DevserverWire, EscapesAreStrictAndRoundTrip) {
    EXPECT_EQ(percentDecode("a%20b%ef%80%a2", false), std::optional<std::string>("a b\xef\x80\xa2"));
    EXPECT_EQ(percentDecode("a+b", false), std::optional<std::string>("a+b"));
    EXPECT_EQ(percentDecode("a+b", true), std::optional<std::string>("a b"));
    // Truncated and non-hex escapes are refused rather than passed on.
    for (const char* bad : {"%", "%4", "%zz", "abc%g1", "%%"}) EXPECT_FALSE(percentDecode(bad, false)) << bad;
    EXPECT_EQ(percentEncode("x-y_z/a.b \xc3\xa9"), "x%2dy%5fz/a.b%20%c3%a9");
    EXPECT_EQ(percentDecode(percentEncode("p&q=r"), true), std::optional<std::string>("p&q=r"));

    auto form = parseForm("user_id=al%69ce&password=%26%3d&empty=&flag");
    ASSERT_TRUE(form);
    EXPECT_EQ(form->at("user_id"), "alice");
    EXPECT_EQ(form->at("password"), "&=");
    EXPECT_EQ(form->at("empty"), "");
    EXPECT_EQ(form->at("flag"), "");
    EXPECT_FALSE(parseForm("a=%zz"));
}

TEST(DevserverWire, ServerPathsRefuseTraversalAndWindowsNames) {
    using S = ParsedPath::Status;
    struct Case {
        const char* path;
        S status;
        size_t names;
    };
    const Case cases[] = {
        // valid
        {"/", S::ok, 0},
        {"", S::ok, 0},
        {"/Documents/a.txt", S::ok, 2},
        {"/Documents/sub/", S::ok, 2},
        {"/Documents/a\xef\x80\xa2"
         "b",
         S::ok, 2},  // U+F022 stands for ":"
        // escape attempts and broken forms
        {"/Documents/../etc", S::malformed, 0},
        {"/Documents/./x", S::malformed, 0},
        {"/..", S::malformed, 0},
        {"/Documents//x", S::malformed, 0},
        {"relative/x", S::malformed, 0},
        // names a Windows file system cannot hold
        {"/Documents/a:b", S::illegalName, 0},
        {"/Documents/trailing.", S::illegalName, 0},
        {"/Documents/trailing ", S::illegalName, 0},
        {"/Documents/back\\slash", S::illegalName, 0},
        {"/Documents/bad\xff", S::illegalName, 0},
    };
    for (const auto& c : cases) {
        auto p = parseServerPath(c.path);
        EXPECT_EQ(p.status, c.status) << c.path;
        if (c.status == S::ok) {
            EXPECT_EQ(p.names.size(), c.names) << c.path;
        }
    }
    EXPECT_EQ(parseServerPath(std::string_view("/Documents/a\0b", 14)).status, S::malformed);
    EXPECT_EQ(joinPath(parseServerPath("/Documents/sub/").names), "/Documents/sub");
}

TEST(DevserverWire, DatesUseMillisecondsInUtc) {
    auto t = parseTime("2019-05-01T10:20:30.123Z");
    ASSERT_TRUE(t);
    EXPECT_EQ(*t, 1556706030123LL);
    EXPECT_EQ(formatTime(*t), "2019-05-01T10:20:30.123Z");
    EXPECT_EQ(formatTime(0), "1970-01-01T00:00:00.000Z");
    for (const char* bad : {"2019-05-01T10:20:30Z", "2019-02-30T10:20:30.000Z", "2019-05-01 10:20:30.000Z",
                            "2019-13-01T10:20:30.000Z", "not a date"})
        EXPECT_FALSE(parseTime(bad)) << bad;
}

struct Collected {
    std::vector<std::pair<std::string, std::string>> parts;  // name, data
    std::vector<std::optional<std::string>> filenames;
    MultipartReader::Handler handler() {
        MultipartReader::Handler h;
        h.begin = [this](const MultipartPart& p) {
            parts.emplace_back(p.name, "");
            filenames.push_back(p.filename);
            return true;
        };
        h.data = [this](std::string_view d) {
            parts.back().second.append(d);
            return true;
        };
        h.end = [] { return true; };
        return h;
    }
};

// Feeds `body` in two pieces split at every position and checks that the parts never change.
void expectSameAtEverySplit(const std::string& boundary, const std::string& body,
                            MultipartReader::Ending ending,
                            const std::vector<std::pair<std::string, std::string>>& expected) {
    for (size_t split = 0; split <= body.size(); ++split) {
        Collected c;
        MultipartReader r(boundary, c.handler());
        ASSERT_TRUE(r.feed(body.data(), split));
        ASSERT_TRUE(r.feed(body.data() + split, body.size() - split));
        ASSERT_EQ(r.finish(), ending) << "split " << split;
        ASSERT_EQ(c.parts, expected) << "split " << split;
    }
}

TEST(DevserverMultipart, ClientLayoutParsesAtEverySplit) {
    const std::string b = "---ABC---";
    // File bytes that look like pieces of the delimiter must pass through unchanged.
    std::string content = std::string("\r\n--") + "-ABC--x\r\n\r\n--" + std::string(3, '\0') + "tail\r";
    std::string body = test::DevServerHarness::uploadBody(
        b, "n\xef\x80\xa2.txt", content, "", std::to_string(content.size()), "2021-01-01T00:00:00.000Z",
        "2021-01-01T00:00:00.000Z");
    expectSameAtEverySplit(b, body, MultipartReader::Ending::closed,
                           {{"operation", "create"},
                            {"creation_time", "2021-01-01T00:00:00.000Z"},
                            {"modification_time", "2021-01-01T00:00:00.000Z"},
                            {"size", std::to_string(content.size())},
                            {"revision", ""},
                            {"file", content}});

    std::string fragment = test::DevServerHarness::fragmentBody(b, "n.txt", "0123456789");
    expectSameAtEverySplit(b, fragment, MultipartReader::Ending::afterDelimiter,
                           {{"operation", "create"}, {"size", "10"}, {"file", "0123456789"}});
}

TEST(DevserverMultipart, StandardLayoutAndBrokenBodies) {
    // The layout curl and browsers send: no leading CR LF, a space after the colon.
    std::string body =
        "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XY\r\n"
        "Content-Disposition: form-data; name=\"file\"; filename=\"f\"\r\n\r\nDATA\r\n--XY--\r\n";
    expectSameAtEverySplit("XY", body, MultipartReader::Ending::closed, {{"a", "1"}, {"file", "DATA"}});

    struct Bad {
        std::string body;
        MultipartReader::Ending ending;
    };
    const Bad bad[] = {
        {"no delimiter at all", MultipartReader::Ending::malformed},
        {"--XY\r\nX-Other: 1\r\n\r\nvalue\r\n--XY--", MultipartReader::Ending::malformed},  // no disposition
        {"--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nhalf a val",
         MultipartReader::Ending::truncated},
        {"--XYgarbage\r\n", MultipartReader::Ending::malformed},
    };
    for (const auto& c : bad) {
        Collected col;
        MultipartReader r("XY", col.handler());
        r.feed(c.body.data(), c.body.size());
        EXPECT_EQ(r.finish(), c.ending) << c.body;
    }
    EXPECT_EQ(MultipartReader::boundaryOf("multipart/form-data; boundary=---X---"),
              std::optional<std::string>("---X---"));
    EXPECT_EQ(MultipartReader::boundaryOf("multipart/form-data; boundary=\"q;r\""),
              std::optional<std::string>("q;r"));
    EXPECT_FALSE(MultipartReader::boundaryOf("multipart/form-data"));
    EXPECT_FALSE(MultipartReader::boundaryOf("text/plain; boundary=x"));
}

TEST(DevserverMultipart, RandomChunkingAndRandomBytesNeverChangeOrBreakTheResult) {
    std::mt19937 gen(1234);
    const std::string b = "---R---";
    for (int round = 0; round < 200; ++round) {
        // File content drawn from bytes that often form delimiter pieces.
        std::string content;
        size_t len = gen() % 300;
        const char alphabet[] = {'\r', '\n', '-', 'R', 'x', '\0'};
        for (size_t i = 0; i < len; ++i) content.push_back(alphabet[gen() % sizeof alphabet]);
        std::string body =
            test::DevServerHarness::uploadBody(b, "f", content, "7", std::to_string(content.size()),
                                               "2021-01-01T00:00:00.000Z", "2021-01-01T00:00:00.000Z");
        Collected c;
        MultipartReader r(b, c.handler());
        for (size_t pos = 0; pos < body.size();) {
            size_t n = std::min<size_t>(body.size() - pos, 1 + gen() % 17);
            ASSERT_TRUE(r.feed(body.data() + pos, n));
            pos += n;
        }
        ASSERT_EQ(r.finish(), MultipartReader::Ending::closed);
        ASSERT_EQ(c.parts.size(), 6u);
        ASSERT_TRUE(c.parts.back().second == content) << "round " << round;

        // Damaged copies of the body must end in some state, never crash or loop.
        std::string broken = body;
        for (int k = 0; k < 5; ++k) broken[gen() % broken.size()] = alphabet[gen() % sizeof alphabet];
        broken.resize(gen() % (broken.size() + 1));
        Collected d;
        MultipartReader rb(b, d.handler());
        rb.feed(broken.data(), broken.size());
        (void)rb.finish();
    }
}

}  // namespace
}  // namespace tw::devserver
