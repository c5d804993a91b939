#include <algorithm>
#include <string>
#include <vector>

#include "app/DesktopOptions.h"
#include "tests/ui/AppHarness.h"
#include "ui/UiTypes.h"

namespace qor::test {
namespace {

using StartupTest = AppTest;

// Index of the first event equal to text; events.size() when absent.
size_t EventIndex(const HeadlessDesktop& desktop, const std::string& text) {
  const auto& events = desktop.Events();
  return static_cast<size_t>(std::find(events.begin(), events.end(), text) - events.begin());
}

TEST_F(StartupTest, RunsTheMainDialogAndTearsDownInOrderWhenItCloses) {
  Then([this](HeadlessDesktop& d) {
    HeadlessDialog& main = d.Dialog(kIddQorDialog);
    EXPECT_EQ(main.Caption(), "QOR");
    EXPECT_TRUE(main.HasIcon(true));
    EXPECT_TRUE(main.HasIcon(false));
    EXPECT_EQ(main.TimerPeriod(1), 20u);
    // The first discovery went out as the dialog opened: 4 bytes to the broadcast address.
    ASSERT_EQ(socket.sent.size(), 1u);
    EXPECT_EQ(socket.sent[0].bytes, (std::vector<uint8_t>{0, 1, 0, 1}));
    EXPECT_EQ(socket.sent[0].address, 0xFFFFFFFFu);
    EXPECT_EQ(socket.sent[0].port, 5266);
    main.PressEscape();
  });
  CQORApp app(TestPlatform());
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(app.ExitCode(), 0);
  EXPECT_EQ(app.ExecutableDirectoryName(), folder.Path());
  EXPECT_EQ(app.RegistryKey(), "Local AppWizard-Generated Applications");
  EXPECT_EQ(desktop.CommonControlsClasses(), 0xFFu);
  EXPECT_EQ(app.MainWindow(), nullptr);
  EXPECT_TRUE(desktop.MessageBoxes().empty());
  EXPECT_TRUE(socket.closed);
  // Common controls, then sockets, then the window; the window goes before the socket.
  EXPECT_LT(EventIndex(desktop, "common controls 0xff"), EventIndex(desktop, "sockets"));
  EXPECT_LT(EventIndex(desktop, "sockets"), EventIndex(desktop, "create 102"));
  EXPECT_LT(EventIndex(desktop, "destroy 102"), EventIndex(desktop, "socket closed"));
  EXPECT_LT(EventIndex(desktop, "socket closed"), EventIndex(desktop, "socket destroyed"));
}

TEST_F(StartupTest, StartsWithAnEmptyCatalogueWhenNoScriptLiesBesideTheProgram) {
  ThenAnnounce(Mac(1), kTargetAddress);
  Then([this](HeadlessDesktop&) {
    ASSERT_EQ(List().ItemCount(), 1);
    EXPECT_EQ(List().ItemText(0, 0), "Unknown Product");
  });
  ThenQuit();
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(desktop.MessageBoxes().empty());
}

TEST_F(StartupTest, SocketSupportFailureShowsTheStringTableMessageAndOpensNothing) {
  failSocketSupport = true;
  Then([](HeadlessDesktop& d) { d.AnswerMessageBox(); });
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(desktop.MessageBoxes().size(), 1u);
  EXPECT_EQ(desktop.MessageBoxes()[0].text, "Windows sockets initialization failed.");
  EXPECT_EQ(desktop.MessageBoxes()[0].caption, "QOR");
  EXPECT_EQ(desktop.MessageBoxes()[0].type, kMbOk | kMbIconExclamation);
  EXPECT_EQ(EventIndex(desktop, "create 102"), desktop.Events().size());
  EXPECT_TRUE(socket.sent.empty());
}

TEST_F(StartupTest, UnknownProgramDirectoryEndsStartUpWithItsMessage) {
  CQORApp::Platform platform = TestPlatform();
  bool networkOpened = false;
  platform.executableDirectory = [] { return std::optional<std::string>(); };
  platform.openNetwork = [&networkOpened]() -> std::unique_ptr<TargetNetwork> {
    networkOpened = true;
    return nullptr;
  };
  Then([](HeadlessDesktop& d) { d.AnswerMessageBox(); });
  EXPECT_EQ(Run(std::move(platform)), 1);
  ASSERT_EQ(desktop.MessageBoxes().size(), 1u);
  EXPECT_EQ(desktop.MessageBoxes()[0].text,
            "GetModuleFileName failed; cannot determine executable name");
  EXPECT_EQ(desktop.MessageBoxes()[0].type, kMbOk | kMbIconExclamation);
  EXPECT_FALSE(networkOpened);
}

TEST_F(StartupTest, NetworkThatCannotOpenIsReportedAndNoWindowIsShown) {
  failOpenNetwork = true;
  Then([](HeadlessDesktop& d) {
    ASSERT_NE(d.MessageBox(), nullptr);
    EXPECT_TRUE(d.Dialogs().empty());
    d.AnswerMessageBox();
  });
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(desktop.MessageBoxes().size(), 1u);
  EXPECT_EQ(desktop.MessageBoxes()[0].text, "Failed to create socket: too many open files");
  EXPECT_EQ(desktop.MessageBoxes()[0].caption, "QOR");
  EXPECT_EQ(desktop.MessageBoxes()[0].type, kMbOk | kMbIconExclamation);
  EXPECT_EQ(desktop.MessageBoxes()[0].ownerTemplate, 0);
  EXPECT_EQ(EventIndex(desktop, "create 102"), desktop.Events().size());
}

TEST_F(StartupTest, AnAdapterThatCannotBeUsedIsReportedAndNoWindowIsShown) {
  CQORApp::Platform platform = TestPlatform();
  platform.openNetwork = CQORApp::RealPlatform("qor-no-such-adapter").openNetwork;
  Then([](HeadlessDesktop& d) {
    EXPECT_TRUE(d.Dialogs().empty());
    d.AnswerMessageBox();
  });
  EXPECT_EQ(Run(std::move(platform)), 1);
  ASSERT_EQ(desktop.MessageBoxes().size(), 1u);
  EXPECT_TRUE(desktop.MessageBoxes()[0].text.starts_with(
      "No adapter is named \"qor-no-such-adapter\"; the adapters are: "))
      << desktop.MessageBoxes()[0].text;
  EXPECT_EQ(desktop.MessageBoxes()[0].type, kMbOk | kMbIconExclamation);
}

TEST(DesktopOptionsTest, InterfaceTakesTheNextWordOrWhatFollowsTheEqualsSign) {
  struct Row {
    std::vector<const char*> arguments;  // after the program's name
    std::string adapter;
    bool error;
  };
  const std::vector<Row> rows = {
      {{}, "", false},
      {{"--interface", "eth1"}, "eth1", false},
      {{"--interface=Ethernet 2"}, "Ethernet 2", false},
      {{"-platform", "offscreen", "--interface", "qor1", "--version"}, "qor1", false},
      {{"--interface", "eth0", "--interface", "eth1"}, "eth1", false},
      {{"--interfaces", "eth1"}, "", false},  // not ours: Qt's, or nobody's
      {{"--interface"}, "", true},
      {{"--interface="}, "", true},
      {{"--interface", "--version"}, "", true},
  };
  for (const Row& row : rows) {
    std::vector<const char*> argv{"qor"};
    argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
    const DesktopOptions options = ParseDesktopOptions(static_cast<int>(argv.size()), argv.data());
    const std::string what = row.arguments.empty() ? "(none)" : row.arguments.front();
    EXPECT_EQ(options.adapter, row.adapter) << what;
    EXPECT_EQ(!options.error.empty(), row.error) << what;
  }
}

TEST_F(StartupTest, ListCreationFailureDestroysWhatWasBuiltInReverseBeforeTheMessage) {
  desktop.failListCreation = true;
  Then([](HeadlessDesktop& d) {
    // By now the dialog and the network are gone.
    EXPECT_TRUE(d.Dialogs().empty());
    d.AnswerMessageBox();
  });
  EXPECT_EQ(Run(), 1);
  ASSERT_EQ(desktop.MessageBoxes().size(), 1u);
  EXPECT_EQ(desktop.MessageBoxes()[0].text, "Failed to create target list");
  EXPECT_EQ(desktop.MessageBoxes()[0].type, kMbOk | kMbIconExclamation);
  const size_t message = EventIndex(desktop, "message box Failed to create target list");
  EXPECT_LT(EventIndex(desktop, "destroy 102"), EventIndex(desktop, "socket destroyed"));
  EXPECT_LT(EventIndex(desktop, "socket destroyed"), message);
  // The dialog never reached its discovery.
  EXPECT_TRUE(socket.sent.empty());
}

TEST_F(StartupTest, ChooseScriptFileCancelledLeavesThePathAlone) {
  std::string path = "unchanged";
  bool chosen = true;
  Then([&](HeadlessDesktop&) {
    auto* app = dynamic_cast<CQORApp*>(AfxGetApp());
    ASSERT_NE(app, nullptr);
    chosen = app->ChooseScriptFile(path);
  });
  Then([](HeadlessDesktop& d) { d.CancelFileDialog(); });
  ThenQuit();
  Run();
  EXPECT_FALSE(chosen);
  EXPECT_EQ(path, "unchanged");
}

TEST_F(StartupTest, ChooseScriptFileOffersTheScriptsBesideTheProgram) {
  std::string path;
  bool chosen = false;
  Then([&](HeadlessDesktop&) {
    auto* app = dynamic_cast<CQORApp*>(AfxGetApp());
    ASSERT_NE(app, nullptr);
    chosen = app->ChooseScriptFile(path);
  });
  Then([this](HeadlessDesktop& d) {
    const ui::OpenFileRequest* request = d.FileDialog();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->title, "Open Script File");
    ASSERT_EQ(request->filters.size(), 2u);
    EXPECT_EQ(request->filters[0].description, "QOR Scripts (.QOR)");
    EXPECT_EQ(request->filters[0].pattern, "*.QOR");
    EXPECT_EQ(request->filters[1].description, "All Files");
    EXPECT_EQ(request->filters[1].pattern, "*.*");
    EXPECT_EQ(request->filterIndex, 1);
    EXPECT_EQ(request->initialDirectory, folder.Path());
    EXPECT_EQ(request->defaultExtension, "QOR");
    EXPECT_EQ(request->flags, kOfnExplorer | kOfnFileMustExist | kOfnHideReadOnly | kOfnShareAware);
    EXPECT_EQ(request->owner, &d.Dialog(kIddQorDialog));
    d.ChooseFile("/somewhere/update.QOR");
  });
  ThenQuit();
  Run();
  EXPECT_TRUE(chosen);
  EXPECT_EQ(path, "/somewhere/update.QOR");
}

}  // namespace
}  // namespace qor::test
