// The desktop program's windows on Qt, timed (the offscreen platform will do). Run it inside
// scripts/netns-run with simulated targets answering on port 5266.
//   desktop_bench download SCRIPT MAC   a download through the Execute Script window, opened
//                                       over the main window as the context menu opens it
//   desktop_bench list COUNT            the main window listing COUNT answering targets
// Prints one JSON object.
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/CQORDialog.h"
#include "app/CScriptDialog.h"
#include "app/CTargetListCtrl.h"
#include "catalog/ScriptCatalogue.h"
#include "exec/DirectiveRegistry.h"
#include "net/MacAddress.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "script/Script.h"
#include "ui/qt/QtWindowSystem.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The real Execute Script window, watched from outside: when its first tick sends the first
// request, and when the download lets go of the target (the script is one *download).
class TimedScriptDialog final : public qor::CScriptDialog {
 public:
  TimedScriptDialog(qor::Target& target, const qor::Script& script, qor::TargetNetwork& network,
                    qor::CDialog* parent)
      : CScriptDialog(target, script, network, parent), target_(target) {}

  std::optional<Clock::time_point> firstTick;
  std::optional<Clock::time_point> finished;
  int timerSteps = 0;
  int socketSteps = 0;

 protected:
  void OnTimer(unsigned id) override {
    if (!firstTick) firstTick = Clock::now();
    ++timerSteps;
    CScriptDialog::OnTimer(id);
    Check();
  }
  void OnSocketReadable(unsigned id) override {
    ++socketSteps;
    CScriptDialog::OnSocketReadable(id);
    Check();
  }

 private:
  void Check() {
    if (target_.pendingContext != nullptr) {
      hooked_ = true;
    } else if (hooked_ && !finished) {
      finished = Clock::now();
      EndDialog(qor::kIdOk);
    }
  }
  qor::Target& target_;
  bool hooked_ = false;
};

int Download(const std::string& scriptPath, const std::string& macText) {
  const std::optional<qor::MacAddress> mac = qor::MacAddress::Parse(macText);
  if (!mac) return 2;
  const qor::Script script(scriptPath, qor::DirectiveRegistry());
  qor::TargetNetwork network;
  qor::ScriptCatalogue catalogue;
  qor::CQORDialog main(network, catalogue);

  Clock::time_point opened;
  std::optional<Clock::time_point> firstTick;
  std::optional<Clock::time_point> finished;
  int timerSteps = 0;
  int socketSteps = 0;
  // Once the target is listed, open the window on it as its context menu would.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    qor::Target* target = network.Table().Find(*mac);
    if (target == nullptr) return;
    watch.stop();
    TimedScriptDialog run(*target, script, network, &main);
    opened = Clock::now();
    run.DoModal();
    firstTick = run.firstTick;
    finished = run.finished;
    timerSteps = run.timerSteps;
    socketSteps = run.socketSteps;
    main.EndDialog(qor::kIdOk);
  });
  watch.start(5);
  QTimer::singleShot(10000, [&] { main.EndDialog(qor::kIdCancel); });
  main.DoModal();
  if (!firstTick || !finished) {
    std::fprintf(stderr, "desktop_bench: the download did not finish\n");
    return 1;
  }
  std::printf(
      "{\"seconds\": %.6f, \"from_open\": %.6f, \"timer_steps\": %d, \"socket_steps\": %d}\n",
      SecondsBetween(*firstTick, *finished), SecondsBetween(opened, *finished), timerSteps,
      socketSteps);
  return 0;
}

int List(int count) {
  qor::TargetNetwork network;
  qor::ScriptCatalogue catalogue;
  qor::CQORDialog main(network, catalogue);
  const Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> listed;
  // A heartbeat every 5 ms: a gap much longer than that is a window that did not respond.
  Clock::time_point lastBeat = start;
  double longestGap = 0;
  QTimer beat;
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    longestGap = std::max(longestGap, SecondsBetween(lastBeat, now));
    lastBeat = now;
    const qor::CTargetListCtrl* list = main.TargetList();
    if (!listed && list != nullptr && list->GetItemCount() >= count) {
      listed = now;
      main.EndDialog(qor::kIdOk);
    }
  });
  beat.start(5);
  QTimer::singleShot(10000, [&] { main.EndDialog(qor::kIdCancel); });
  main.DoModal();
  if (!listed) {
    std::fprintf(stderr, "desktop_bench: %d targets were not all listed (%d)\n", count,
                 main.TargetList() != nullptr ? main.TargetList()->GetItemCount() : -1);
    return 1;
  }
  std::printf("{\"seconds\": %.6f, \"longest_stall\": %.6f}\n", SecondsBetween(start, *listed),
              longestGap);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qtArgc = 1;
  qor::qt::QtWindowSystem system(qtArgc, argv);
  qor::ui::ScopedWindowSystem installed(system);
  if (argc == 4 && std::strcmp(argv[1], "download") == 0) return Download(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "list") == 0) return List(std::atoi(argv[2]));
  std::fprintf(stderr, "usage: desktop_bench download SCRIPT MAC | list COUNT\n");
  return 2;
}
