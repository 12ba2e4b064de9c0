#include <gtest/gtest.h>

#include "views/SettingsRules.h"

namespace tessera::views {
namespace {

TEST(SettingsRules, LaunchAtLoginShowsTheRealStatusApprovalAndFailure) {
    using Status = LaunchAtLogin::Status;
    EXPECT_EQ(launchAtLoginRow(Status::enabled, std::nullopt), (LaunchAtLoginRow{true, {}, {}}));
    EXPECT_FALSE(launchAtLoginRow(Status::notFound, std::nullopt).checked);
    // A registration waiting for approval is on as far as the user's choice goes.
    EXPECT_EQ(launchAtLoginRow(Status::requiresApproval, std::nullopt),
              (LaunchAtLoginRow{
                  true, "Approval needed — enable Tessera Recorder under Login Items.", {}}));
    // Turning it on failed: the toggle shows what the system reports, off.
    EXPECT_EQ(launchAtLoginRow(Status::notRegistered, "disk full"),
              (LaunchAtLoginRow{false, {}, "Couldn't update Launch at Login: disk full"}));
}

TEST(SettingsRules, FileRowsShowTheFileNameOnly) {
    EXPECT_EQ(fileRowText("/home/me/Pictures/beach.jpg"), "beach.jpg");
    EXPECT_EQ(fileRowText(std::string("/home/me/Pictures/")), "Pictures");
    EXPECT_EQ(fileRowText(std::nullopt), "None");
    EXPECT_EQ(fileRowText(std::string()), "None");
}

}  // namespace
}  // namespace tessera::views
