// The datagram dispatch while scripts run: one target takes a verified download and a restart,
// another has its environment read, changed and written back. The input is a series of
// operations: datagrams of any shape (or replies aimed at what a target waits for, so that the
// runs really move), announcements, and the passing of time, each followed by the runners'
// steps, as the script window's timer or qorctl's loop does. Nothing may crash, and a run that
// waits always has its target's reply hook.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "exec/Context.h"
#include "exec/DirectiveRegistry.h"
#include "exec/RequestId.h"
#include "exec/ScriptRunner.h"
#include "fuzz/FuzzSupport.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/TickCount.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"
#include "tests/common/FakeDatagramSocket.h"

namespace {

using qor::fuzz::InputReader;

class QuietDisplay final : public qor::ScriptDisplay {
 public:
  void SetOperationText(const std::string&) override {}
  void SetStatusText(const std::string&) override {}
};

// Read once, kept for every input.
std::unique_ptr<qor::Script> LoadScript(const char* name, const char* text) {
  const std::string path = qor::fuzz::TempPath(name);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) qor::fuzz::Broken("cannot write a script");
  std::fputs(text, file);
  std::fclose(file);
  auto script = std::make_unique<qor::Script>(path, qor::DirectiveRegistry());
  std::remove(path.c_str());
  return script;
}

const qor::Script& DownloadScript() {
  static const auto script =
      LoadScript("download.qor",
                 "*section Image\n*download 0x1000 3000\nS30D000010000102030405060708D4\n"
                 "S30900001BB0CAFEBABE00\n*section Restart\n*restart\n");
  return *script;
}

const qor::Script& EnvironmentScript() {
  static const auto script =
      LoadScript("environment.qor",
                 "*loadenv 0xF00000 2100\n*setenv ipaddr 127.0.0.10\n*saveenv 0xF00000 2100\n");
  return *script;
}

qor::Target MakeTarget(uint8_t last) {
  qor::Target target;
  target.mac.bytes = {0x02, 0, 0, 0, 0, last};
  target.ipAddress = 0x7F00000Au + last;
  target.vendorId = 0x1234;
  target.productId = 1;
  target.stagingSize = 0x10000;
  return target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const qor::Script& download = DownloadScript();
  const qor::Script& environment = EnvironmentScript();
  qor::ResetRequestIds();
  qor::FakeTickSource clock(5000);
  qor::ScopedTickSource installed(clock);
  auto owned = std::make_unique<qor::test::FakeDatagramSocket>();
  qor::test::FakeDatagramSocket& socket = *owned;
  qor::TargetNetwork network(std::move(owned));
  qor::Target* targets[2] = {network.Table().Insert(MakeTarget(1)),
                             network.Table().Insert(MakeTarget(2))};
  QuietDisplay display;
  qor::RunnerOptions verify;
  verify.verifyDownloads = true;
  std::unique_ptr<qor::ScriptRunner> runners[2] = {
      std::make_unique<qor::ScriptRunner>(*targets[0], download, network, display, verify),
      std::make_unique<qor::ScriptRunner>(*targets[1], environment, network, display)};

  const auto step = [&] {
    network.Poll();
    for (size_t i = 0; i < 2; ++i) {
      try {
        runners[i]->Step();
      } catch (const qor::Exception&) {
        // The run failed, as a refusal, a silence or a bad reply may make it: it is closed.
      }
      if (runners[i]->Waiting() && targets[i]->pendingContext == nullptr) {
        qor::fuzz::Broken("a run waits without its reply hook");
      }
    }
    socket.sent.clear();
  };
  step();

  InputReader input(data, size);
  while (!input.Done()) {
    const uint8_t op = input.Byte();
    qor::Target& aimed = *targets[(op >> 3) & 1];
    switch (op & 7) {
      case 0:  // the next timer tick
        clock.Advance(20);
        step();
        break;
      case 1:  // a long silence: past a resend, up to past the silence limit
        clock.Advance(1001u * (1 + input.Byte() % 40));
        step();
        break;
      case 2: {  // any bytes at all, oversized ones included, from the targets' port or not
        const size_t length = size_t{input.Byte()} * 5;
        const std::string bytes = input.Bytes(length);
        socket.Deliver({bytes.begin(), bytes.end()}, (op & 0x10) ? 5267 : qor::kTargetPort);
        break;
      }
      case 3: {  // a FinalReply to what the target waits for, or to an earlier request
        qor::wire::FinalReply reply;
        reply.mac = aimed.mac;
        reply.requestId = aimed.pendingRequestId ^ ((op & 0x10) ? input.Byte() : 0u);
        reply.status = (op & 0x20) ? input.Byte() : 0u;
        const std::string payload = input.Bytes(input.Number(2) % 1181);
        reply.payload.assign(payload.begin(), payload.end());
        socket.Deliver(reply.Encode());
        break;
      }
      case 4: {  // a ProgressReply to what the target waits for
        qor::wire::ProgressReply reply;
        reply.mac = aimed.mac;
        reply.requestId = aimed.pendingRequestId;
        reply.value = input.Number(4);
        socket.Deliver(reply.Encode());
        break;
      }
      case 5: {  // an announcement: of a run's own target (a new address), or of a stranger
        qor::wire::DiscoverReply reply;
        if (op & 0x10) {
          const std::string mac = input.Bytes(6);
          std::copy(mac.begin(), mac.end(), reply.mac.bytes.begin());
        } else {
          reply.mac = aimed.mac;
        }
        reply.ipAddress = input.Number(4);
        reply.vendorId = static_cast<uint16_t>(input.Number(2));
        reply.productId = static_cast<uint16_t>(input.Number(2));
        reply.stagingSize = input.Number(4);
        socket.Deliver(reply.Encode());
        break;
      }
      case 6: {  // a header of any version and type, then any bytes
        qor::wire::Bytes bytes =
            qor::wire::Header{.version = static_cast<uint16_t>(input.Number(2)),
                              .type = static_cast<uint16_t>(input.Number(2)),
                              .mac = aimed.mac}
                .Encode();
        const std::string rest = input.Bytes(input.Byte());
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        socket.Deliver(bytes);
        break;
      }
      default:  // a step without time passing, as when a reply wakes the command line
        step();
        break;
    }
  }
  step();
  return 0;
}
