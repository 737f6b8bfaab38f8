#include <gtest/gtest.h>
#include <unistd.h>

#include "SessionLogRange.h"
#include "TestSandbox.h"

namespace {

std::string Line(int pid, const std::string& text) { return "2026-01-31 14:05:09 [" + std::to_string(pid) + "] MOQ: _info_: " + text + "\n"; }

TEST(SessionLogRange, TheRunsLinesByTheProcessIdOfTheirStamp) {
    TestSandbox box;
    const std::string log = box / "moq.log";
    const std::string text = "__MOQ_LOG_FILE__\n" + Line(12, "other") + Line(123, "first") + Line(1234, "other") +
                             Line(123, "last") + Line(12, "names [123] in its text") + Line(1123, "after");
    TestFiles::Write(log, text);
    SessionLogRange range;
    range.Locate(log, 123);
    EXPECT_TRUE(range.known);
    EXPECT_EQ(log, range.path);
    EXPECT_EQ(3u, range.firstLine);
    EXPECT_EQ(5u, range.lastLine);

    // a last line still being written counts
    TestFiles::Write(log, text + "2026-01-31 14:05:10 [123] MOQ: _info_: unfinished");
    range.Locate(log, 123);
    EXPECT_EQ(3u, range.firstLine);
    EXPECT_EQ(8u, range.lastLine);

    range.Locate(log, 1234);
    EXPECT_TRUE(range.known);
    EXPECT_EQ(4u, range.firstLine);
    EXPECT_EQ(4u, range.lastLine);

    range.Locate(log, 99);
    EXPECT_FALSE(range.known);

    // no log, or a link in its place: nothing known, nothing read through the link
    range.Locate(box / "missing.log", 123);
    EXPECT_FALSE(range.known);
    ASSERT_EQ(0, symlink(log.c_str(), (box / "link.log").c_str()));
    range.Locate(box / "link.log", 123);
    EXPECT_FALSE(range.known);
}

}  // namespace
