#include <gtest/gtest.h>
#include <stdlib.h>

#include "TestSandbox.h"
#include "ZEPInstallerResultsWrapper.h"

namespace {

TEST(UpdateManagerIdentity, AcceptsNoIdOrTheIdOfTheIdentityFile) {
    TestSandbox box;
    setenv("HOME", box.Path().c_str(), 1);
    const std::string other = "com.example.other";
    EXPECT_TRUE(ZEPInstallerResultsWrapper::testZEPID(nullptr));
    EXPECT_FALSE(ZEPInstallerResultsWrapper::testZEPID(&other));  // no identity file
    TestFiles::Write(box / "Library/Application Support/Kavex/Updater/Install/KavexUpdaterInstallerData.plist",
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                     "<key>Other</key><string>x</string><key>ZEP_APP_ID</key><string>com.kavex.updater</string>"
                     "</dict></plist>\n");
    const std::string right = "com.kavex.updater";
    EXPECT_TRUE(ZEPInstallerResultsWrapper::testZEPID(&right));
    EXPECT_FALSE(ZEPInstallerResultsWrapper::testZEPID(&other));
    EXPECT_FALSE(ZEPInstallerResultsWrapper::cleanup(&other));
    EXPECT_TRUE(ZEPInstallerResultsWrapper::cleanup(&right));
    // the test program carries no results library: it was not started by the update manager
    std::string path = "unchanged";
    EXPECT_FALSE(ZEPInstallerResultsWrapper::clientAppPath(path));
    EXPECT_EQ("unchanged", path);
    EXPECT_FALSE(ZEPInstallerResultsWrapper::setInstallerResults(0));
}

}  // namespace
