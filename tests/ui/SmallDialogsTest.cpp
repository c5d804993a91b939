#include <regex>
#include <string>

#include "QorVersion.h"
#include "app/CAboutDialog.h"
#include "app/CIPAddressDialog.h"
#include "tests/ui/AppHarness.h"

namespace qor::test {
namespace {

class SmallDialogsTest : public ::testing::Test {
 protected:
  HeadlessDesktop desktop;
  ui::ScopedWindowSystem installed{desktop};

  HeadlessDialog& Address() { return desktop.Dialog(kIddIpAddressDialog); }
};

TEST_F(SmallDialogsTest, AddressDialogStartsBlankForAnUnassignedTarget) {
  CIPAddressDialog dialog(nullptr, 0);
  desktop.Then([this](HeadlessDesktop&) {
    EXPECT_EQ(Address().AddressFields(kIdcIpAddress), (std::array<std::string, 4>{}));
    EXPECT_EQ(Address().Text(kIdOk), "OK");
    Address().PressEnter();
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  // An all-blank control yields 0.0.0.0, which is returned like any other address.
  EXPECT_EQ(dialog.Address(), 0u);
}

TEST_F(SmallDialogsTest, AddressDialogShowsTheAddressAndOkReturnsItUnchanged) {
  CIPAddressDialog dialog(nullptr, 0x7F000114);
  desktop.Then([this](HeadlessDesktop&) {
    EXPECT_EQ(Address().AddressFields(kIdcIpAddress),
              (std::array<std::string, 4>{"127", "0", "1", "20"}));
    Address().Click(kIdOk);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.Address(), 0x7F000114u);
}

TEST_F(SmallDialogsTest, PartlyFilledFieldsReadAsZero) {
  CIPAddressDialog dialog(nullptr, 0);
  desktop.Then([this](HeadlessDesktop&) {
    Address().TypeAddressField(kIdcIpAddress, 0, "127");
    Address().TypeAddressField(kIdcIpAddress, 2, "5");
    Address().PressEnter();
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.Address(), 0x7F000500u);
}

TEST_F(SmallDialogsTest, ClearedFieldsOfAnAddressReadAsZeroToo) {
  CIPAddressDialog dialog(nullptr, 0x7F000114);
  desktop.Then([this](HeadlessDesktop&) {
    Address().TypeAddressField(kIdcIpAddress, 1, "");
    Address().TypeAddressField(kIdcIpAddress, 3, "");
    Address().PressEnter();
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.Address(), 0x7F000100u);
}

TEST_F(SmallDialogsTest, CancelLeavesTheAddressAsItWas) {
  CIPAddressDialog dialog(nullptr, 0x7F000114);
  desktop.Then([this](HeadlessDesktop&) {
    Address().TypeAddressField(kIdcIpAddress, 3, "1");
    Address().PressEscape();
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_EQ(dialog.Address(), 0x7F000114u);
}

TEST_F(SmallDialogsTest, AboutBoxShowsNameVersionBuildDateAndCopyright) {
  CAboutDialog about;
  desktop.Then([](HeadlessDesktop& d) {
    HeadlessDialog& box = d.Dialog(kIddAboutBox);
    EXPECT_EQ(box.Caption(), "About QOR");
    EXPECT_EQ(box.Text(kIdcBuildLine),
              std::string("Version ") + kQorVersion + ", built " + CAboutDialog::BuildDate());
    box.Click(kIdOk);
  });
  EXPECT_EQ(about.DoModal(), kIdOk);
  EXPECT_TRUE(std::regex_match(CAboutDialog::BuildDate(),
                               std::regex("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                          "[ 123][0-9] [0-9]{4}")));
  const DialogTemplate* dialog = FindDialogTemplate(kIddAboutBox);
  ASSERT_NE(dialog, nullptr);
  EXPECT_NE(dialog->controls[3].text.find("Copyright"), std::string::npos);
}

}  // namespace
}  // namespace qor::test
