#include <iterator>
#include <regex>
#include <string>
#include <vector>

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
  // An all-blank control reads as 0.0.0.0, which no target can hold.
  desktop.Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text, "0.0.0.0 stands for no address at all; no target can hold it.");
    d.AnswerMessageBox();
  });
  desktop.Then([this](HeadlessDesktop&) { Address().PressEscape(); });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_EQ(dialog.Address(), 0u);
}

// Each block no target can hold is refused with a message that names the address; the dialog
// stays open with the fields as typed, and takes the address the operator corrects them to.
TEST_F(SmallDialogsTest, AddressesNoTargetCanHoldAreRefusedAndTheDialogStaysOpen) {
  struct Row {
    std::array<std::string, 4> fields;
    const char* message;
  };
  const Row rows[] = {
      {{"0", "0", "0", "0"}, "0.0.0.0 stands for no address at all; no target can hold it."},
      {{"0", "1", "2", "3"},
       "0.1.2.3 is reserved: 0.0.0.0/8 stands for this network; no target can hold it."},
      {{"224", "0", "0", "1"},
       "224.0.0.1 is a multicast address (224.0.0.0/4); no target can hold it."},
      {{"239", "255", "255", "255"},
       "239.255.255.255 is a multicast address (224.0.0.0/4); no target can hold it."},
      {{"240", "0", "0", "1"},
       "240.0.0.1 is reserved for future use (240.0.0.0/4); no target can hold it."},
      {{"255", "255", "255", "255"},
       "255.255.255.255 is the broadcast address of every network; no target can hold it."},
  };
  for (const Row& row : rows) {
    int holderAsked = 0;
    CIPAddressDialog dialog(nullptr, 0x7F000114, [&holderAsked](uint32_t) {
      ++holderAsked;
      return std::string();
    });
    desktop.Then([this, &row](HeadlessDesktop&) {
      for (int field = 0; field < 4; ++field) {
        Address().TypeAddressField(kIdcIpAddress, field, row.fields[static_cast<size_t>(field)]);
      }
      Address().PressEnter();
    });
    desktop.Then([&row](HeadlessDesktop& d) {
      ASSERT_NE(d.MessageBox(), nullptr) << row.message;
      EXPECT_EQ(d.MessageBox()->text, row.message);
      EXPECT_EQ(d.MessageBox()->type, kMbOk | kMbIconExclamation);
      EXPECT_EQ(d.MessageBox()->ownerTemplate, kIddIpAddressDialog);
      d.AnswerMessageBox();
    });
    desktop.Then([this, &row](HeadlessDesktop& d) {
      ASSERT_TRUE(d.IsOpen(kIddIpAddressDialog)) << row.message;
      EXPECT_EQ(Address().AddressFields(kIdcIpAddress), row.fields);
      Address().TypeAddressField(kIdcIpAddress, 0, "127");
      Address().TypeAddressField(kIdcIpAddress, 1, "0");
      Address().TypeAddressField(kIdcIpAddress, 2, "0");
      Address().TypeAddressField(kIdcIpAddress, 3, "30");
      Address().Click(kIdOk);
    });
    EXPECT_EQ(dialog.DoModal(), kIdOk) << row.message;
    EXPECT_EQ(dialog.Address(), 0x7F00001Eu) << row.message;
    EXPECT_EQ(holderAsked, 1) << "only the address taken is looked up";
  }
  EXPECT_EQ(desktop.MessageBoxes().size(), std::size(rows));
}

TEST_F(SmallDialogsTest, CancelAfterARefusalLeavesTheAddressAsItWas) {
  CIPAddressDialog dialog(nullptr, 0x7F000114);
  desktop.Then([this](HeadlessDesktop&) {
    Address().TypeAddressField(kIdcIpAddress, 0, "230");
    Address().PressEnter();
  });
  desktop.Then([](HeadlessDesktop& d) { d.AnswerMessageBox(); });
  desktop.Then([this](HeadlessDesktop&) { Address().Click(kIdCancel); });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_EQ(dialog.Address(), 0x7F000114u);
}

// An address another target holds is a question, No its default: No (or Enter) keeps the
// dialog open, Yes takes the address.
TEST_F(SmallDialogsTest, AnAddressAnotherTargetHoldsAsksFirstAndNoIsTheDefault) {
  std::vector<uint32_t> asked;
  CIPAddressDialog dialog(nullptr, 0x7F000014, [&asked](uint32_t address) {
    asked.push_back(address);
    return address == 0x7F00000B ? std::string("Demo Board 00:1A:2B:3C:4D:02") : std::string();
  });
  const std::string question =
      "127.0.0.11 is already held by Demo Board 00:1A:2B:3C:4D:02.  Assign it all the same?";
  desktop.Then([this](HeadlessDesktop&) {
    Address().TypeAddressField(kIdcIpAddress, 3, "11");
    Address().PressEnter();
  });
  desktop.Then([&question](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_EQ(d.MessageBox()->text, question);
    EXPECT_EQ(d.MessageBox()->type, kMbYesNo | kMbIconQuestion | kMbDefButton2);
    EXPECT_EQ(d.MessageBox()->ownerTemplate, kIddIpAddressDialog);
    EXPECT_EQ(d.MessageBox()->DefaultButton(), kIdNo);
    EXPECT_THROW(d.AnswerMessageBox(kIdOk), HeadlessError) << "a Yes/No box has no OK";
    d.PressEnterOnMessageBox();
  });
  desktop.Then([this](HeadlessDesktop& d) {
    ASSERT_TRUE(d.IsOpen(kIddIpAddressDialog));
    Address().PressEnter();
  });
  desktop.Then([](HeadlessDesktop& d) { d.AnswerMessageBox(kIdNo); });
  desktop.Then([this](HeadlessDesktop& d) {
    ASSERT_TRUE(d.IsOpen(kIddIpAddressDialog));
    Address().Click(kIdOk);
  });
  desktop.Then([](HeadlessDesktop& d) { d.AnswerMessageBox(kIdYes); });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.Address(), 0x7F00000Bu);
  EXPECT_EQ(asked, (std::vector<uint32_t>(3, 0x7F00000B)));
  EXPECT_EQ(desktop.MessageBoxes().size(), 3u);
  EXPECT_EQ(desktop.PendingActions(), 0u);
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
