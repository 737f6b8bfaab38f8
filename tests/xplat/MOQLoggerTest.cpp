#include <gtest/gtest.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "MOQLogger.h"
#include "TestSandbox.h"

namespace {

const std::regex kMarkerLine("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] __MOQ_LOG_FILE__");

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override { MOQ_Logger_End(); }
    TestSandbox box;
    std::string log = box / "moq.log";
};

TEST_F(LoggerTest, NewFileStartsWithStampedMarkerAndEntriesCarryStamp) {
    MOQ_Logger_StartAt(log.c_str(), true);
    MOQ_LOG("Called InstallerEngine::Main\n");
    MOQ_Logger_End();
    MOQ_LOG("dropped after the end\n");
    std::vector<std::string> lines = TestFiles::Lines(TestFiles::Read(log));
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], kMarkerLine)) << lines[0];
    std::ostringstream expected;
    expected << "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[" << getpid() << "\\] MOQ: _info_: Called InstallerEngine::Main";
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(expected.str()))) << lines[1];
}

TEST_F(LoggerTest, ForeignFileIsRestartedValidFileIsAppended) {
    TestFiles::Write(log, "some other program's log\nline two\n");
    MOQ_Logger_StartAt(log.c_str(), false);
    MOQ_Logger_End();
    std::vector<std::string> lines = TestFiles::Lines(TestFiles::Read(log));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], kMarkerLine));

    MOQ_Logger_StartAt(log.c_str(), false);
    MOQ_LOG("second session\n");
    MOQ_Logger_End();
    lines = TestFiles::Lines(TestFiles::Read(log));
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find("second session"));
}

TEST_F(LoggerTest, EmptiedOnlyAboveTheLimitAndOnlyWhenAllowed) {
    const std::string head = "2026-01-01 00:00:00 [1] __MOQ_LOG_FILE__\n";
    auto fill = [&](size_t size) { TestFiles::Write(log, head + std::string(size - head.size(), 'x')); };

    fill(256000);
    MOQ_Logger_StartAt(log.c_str(), true);
    MOQ_Logger_End();
    EXPECT_EQ(256000u, TestFiles::Read(log).size());

    fill(256001);
    MOQ_Logger_StartAt(log.c_str(), false);
    MOQ_Logger_End();
    EXPECT_EQ(256001u, TestFiles::Read(log).size());

    MOQ_Logger_StartAt(log.c_str(), true);
    MOQ_Logger_End();
    std::vector<std::string> lines = TestFiles::Lines(TestFiles::Read(log));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], kMarkerLine));
}

// Another session removes the log, or swaps in a link, while ours is open.
TEST_F(LoggerTest, ARemovedOrReplacedFileIsFollowedLinkSafely) {
    MOQ_Logger_StartAt(log.c_str(), false);
    MOQ_LOG("before\n");
    ASSERT_EQ(0, unlink(log.c_str()));
    MOQ_LOG("after removal\n");
    std::vector<std::string> lines = TestFiles::Lines(TestFiles::Read(log));
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], kMarkerLine)) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("after removal"));

    const std::string target = box / "precious";
    TestFiles::Write(target, "__MOQ_LOG_FILE__ keep\n");
    ASSERT_EQ(0, unlink(log.c_str()));
    ASSERT_EQ(0, symlink(target.c_str(), log.c_str()));
    MOQ_LOG("after the link\n");
    MOQ_Logger_End();
    EXPECT_EQ("__MOQ_LOG_FILE__ keep\n", TestFiles::Read(target));
    struct stat st;
    ASSERT_EQ(0, lstat(log.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("after the link"));
}

TEST_F(LoggerTest, PlantedLinkLeavesItsTargetUntouched) {
    const std::string target = box / "precious";
    const std::string big = "__MOQ_LOG_FILE__ first line\n" + std::string(300000, 'p');
    TestFiles::Write(target, big);
    ASSERT_EQ(0, symlink(target.c_str(), log.c_str()));
    EXPECT_FALSE(IsMOQLogfileValid(log.c_str()));
    MOQ_Logger_StartAt(log.c_str(), true);
    MOQ_LOG("entry\n");
    MOQ_Logger_End();
    EXPECT_EQ(big, TestFiles::Read(target));
    struct stat st;
    ASSERT_EQ(0, lstat(log.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(2u, TestFiles::Lines(TestFiles::Read(log)).size());
}

TEST_F(LoggerTest, DanglingLinkAndHardLinkAreNotWrittenThrough) {
    const std::string elsewhere = box / "elsewhere";
    ASSERT_EQ(0, symlink(elsewhere.c_str(), log.c_str()));
    MOQ_Logger_StartAt(log.c_str(), true);
    MOQ_Logger_End();
    EXPECT_FALSE(TestFiles::Exists(elsewhere));

    unlink(log.c_str());
    const std::string other = box / "other";
    TestFiles::Write(other, "__MOQ_LOG_FILE__\n");
    ASSERT_EQ(0, link(other.c_str(), log.c_str()));
    MOQ_Logger_StartAt(log.c_str(), true);
    MOQ_LOG("entry\n");
    MOQ_Logger_End();
    EXPECT_EQ("__MOQ_LOG_FILE__\n", TestFiles::Read(other));
}

TEST_F(LoggerTest, FifoOrFolderAtThePathIsReplaced) {
    ASSERT_EQ(0, mkfifo(log.c_str(), 0666));
    MOQ_Logger_StartAt(log.c_str(), true);  // must not block on the fifo
    MOQ_LOG("after fifo\n");
    MOQ_Logger_End();
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("after fifo"));

    unlink(log.c_str());
    ASSERT_EQ(0, mkdir(log.c_str(), 0755));
    MOQ_Logger_StartAt(log.c_str(), true);
    MOQ_LOG("after folder\n");
    MOQ_Logger_End();
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("after folder"));
}

TEST_F(LoggerTest, ValidityLooksAtTheFirst127CharactersOnly) {
    EXPECT_FALSE(IsMOQLogfileValid(nullptr));
    EXPECT_TRUE(IsMOQLogfileValid((box / "absent").c_str()));
    TestFiles::Write(log, std::string(111, 'a') + "__MOQ_LOG_FILE__\n");  // ends at 127
    EXPECT_TRUE(IsMOQLogfileValid(log.c_str()));
    TestFiles::Write(log, std::string(112, 'a') + "__MOQ_LOG_FILE__\n");
    EXPECT_FALSE(IsMOQLogfileValid(log.c_str()));
    TestFiles::Write(log, "\n__MOQ_LOG_FILE__\n");
    EXPECT_FALSE(IsMOQLogfileValid(log.c_str()));
}

TEST_F(LoggerTest, GetlineEndsAtLineFeedCarriageReturnOrEnd) {
    TestFiles::Write(log, "one\r\ntwo\rthree\nlongerline\n\nlast");
    FILE* f = fopen(log.c_str(), "r");
    ASSERT_NE(nullptr, f);
    char buffer[6];
    EXPECT_EQ(3, MOQ_fgetline(f, buffer, sizeof(buffer)));
    EXPECT_STREQ("one", buffer);
    EXPECT_EQ(3, MOQ_fgetline(f, buffer, sizeof(buffer)));
    EXPECT_STREQ("two", buffer);
    EXPECT_EQ(5, MOQ_fgetline(f, buffer, sizeof(buffer)));
    EXPECT_STREQ("three", buffer);
    EXPECT_EQ(5, MOQ_fgetline(f, buffer, sizeof(buffer)));  // the rest of the line is dropped
    EXPECT_STREQ("longe", buffer);
    EXPECT_EQ(0, MOQ_fgetline(f, buffer, sizeof(buffer)));
    EXPECT_EQ(4, MOQ_fgetline(f, buffer, sizeof(buffer)));
    EXPECT_STREQ("last", buffer);
    EXPECT_EQ(EOF, MOQ_fgetline(f, buffer, sizeof(buffer)));
    fclose(f);
}

TEST_F(LoggerTest, ConcurrentEntriesNeverShareALine) {
    MOQ_Logger_StartAt(log.c_str(), true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) MOQ_LOG("thread %d entry %d %s\n", t, i, "payload-text-payload-text");
        });
    }
    for (std::thread& thread : threads) thread.join();
    MOQ_Logger_End();
    std::vector<std::string> lines = TestFiles::Lines(TestFiles::Read(log));
    ASSERT_EQ(2001u, lines.size());
    const std::regex entry("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[\\d+\\] MOQ: _info_: thread \\d entry \\d+ payload-text-payload-text");
    for (size_t i = 1; i < lines.size(); ++i) ASSERT_TRUE(std::regex_match(lines[i], entry)) << lines[i];
}

// Bracketed by the monotonic clock read around each call, however loaded the machine is;
// a reading is whole ticks of 1/60 s, so it may be one tick off either way.
TEST(WallClock, CountsSecondsSinceReset) {
    auto now = [] {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    const double before = now();
    MOQ_WallClock_Reset();
    const double reset = now();
    while (now() - reset < 0.1) {
    }
    const double from = now();
    const double elapsed = MOQ_WallClock_Time();
    const double to = now();
    EXPECT_GE(elapsed, from - reset - 1.0 / 60 - 1e-4);
    EXPECT_LE(elapsed, to - before + 1.0 / 60 + 1e-4);
}

}  // namespace
