#include "exec/CurrentCheck.h"

#include <stdexcept>
#include <utility>

#include "exec/DownloadDirective.h"
#include "exec/LoadSaveEnvDirective.h"
#include "exec/ScriptRunner.h"
#include "exec/SetEnvDirective.h"
#include "net/Target.h"
#include "net/TargetEnvironment.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DataSection.h"
#include "script/Script.h"
#include "script/ScriptDisplay.h"

namespace qor {
namespace {

bool Overlap(const CurrentArea& a, const CurrentArea& b) {
  const uint64_t aEnd = uint64_t{a.address} + a.length;
  const uint64_t bEnd = uint64_t{b.address} + b.length;
  return a.length != 0 && b.length != 0 && a.address < bEnd && b.address < aEnd;
}

// Whether the area as read holds what the run would leave there.
bool Holds(const CurrentArea& area, const DataSection& read) {
  if (area.image != nullptr) return read.ImageCrc() == area.image->ImageCrc();
  const DataBlock whole = read.ExtractBlock(area.address, area.length);
  TargetEnvironment found;
  if (ParseEnvironmentBlock(whole.bytes.data(), whole.bytes.size(), found) !=
      EnvironmentBlockState::kValid) {
    return false;
  }
  for (const auto& [name, value] : area.variables) {
    const auto there = found.entries.find(name);
    if (value.empty() ? there != found.entries.end()
                      : there == found.entries.end() || there->second != value) {
      return false;
    }
  }
  return true;
}

}  // namespace

CurrentCheck::CurrentCheck(const std::vector<CurrentArea>& areas) : areas_(areas) {}

CurrentCheck::~CurrentCheck() = default;

void CurrentCheck::OnReply(uint32_t status, const uint8_t* payload, int32_t length) {
  if (read_) read_->OnReply(status, payload, length);
}

const PendingRequest* CurrentCheck::Outstanding() const {
  return read_ ? &read_->Request() : nullptr;
}

std::optional<std::vector<CurrentArea>> CurrentCheck::Plan(const Script& script,
                                                           const RunnerOptions& options,
                                                           const TargetEnvironment& table) {
  std::vector<CurrentArea> areas;
  // What the table would hold: names already in it keep their values over a loaded block.
  std::map<std::string, std::string> variables = table.entries;
  std::optional<std::pair<uint32_t, uint32_t>> block;  // the one block loaded and saved
  bool loaded = false;
  for (int32_t i = 0; i < script.DirectiveCount(); ++i) {
    const Directive& directive = script.DirectiveAt(i);
    switch (directive.Kind()) {
      case kDownloadDirective: {
        const DataSection& image = static_cast<const DownloadDirective&>(directive).Section();
        areas.push_back({image.Base(), image.Length(), &image, {}});
        break;
      }
      case kSetEnvDirective: {
        const auto& set = static_cast<const SetEnvDirective&>(directive);
        variables[set.Name()] = set.Value();
        break;
      }
      case kLoadEnvDirective:
      case kSaveEnvDirective: {
        const auto& env = static_cast<const LoadSaveEnvDirective&>(directive);
        const std::pair<uint32_t, uint32_t> place{env.Address(), env.Length()};
        if (block && *block != place) return std::nullopt;
        block = place;
        if (env.IsLoad()) {
          loaded = true;
          break;
        }
        if (!loaded) return std::nullopt;
        CurrentArea area{env.Address(), env.Length(), nullptr, variables};
        for (const auto& [name, value] : options.unitValues) area.variables[name] = value;
        areas.push_back(std::move(area));
        break;
      }
      default:
        break;
    }
  }
  for (size_t a = 0; a < areas.size(); ++a) {
    for (size_t b = a + 1; b < areas.size(); ++b) {
      // The same block saved twice is read once for each; any other overlap is undecidable.
      const bool sameBlock = areas[a].image == nullptr && areas[b].image == nullptr &&
                             areas[a].address == areas[b].address;
      if (!sameBlock && Overlap(areas[a], areas[b])) return std::nullopt;
    }
  }
  return areas;
}

bool CurrentCheck::StartNext(TargetNetwork& network, Target& target, ScriptDisplay& display) {
  for (; index_ < areas_.size(); ++index_) {
    const CurrentArea& area = areas_[index_];
    if (area.image == nullptr) CheckEnvironmentBlockLength(area.length, target.stagingSize);
    read_ =
        std::make_unique<MemoryRead>(*this, area.address, area.length,
                                     area.image != nullptr ? "the image" : "the environment block");
    if (read_->Start(network, target)) {
      display.SetStatusText(Format("Checking %08X", area.address));
      return true;
    }
  }
  read_.reset();
  return false;
}

std::unique_ptr<Context> CurrentCheck::Run(const std::vector<CurrentArea>& areas,
                                           std::unique_ptr<Context> context, TargetNetwork& network,
                                           Target& target, ScriptDisplay& display,
                                           std::optional<bool>& current) {
  current.reset();
  if (!context) {
    auto self = std::unique_ptr<CurrentCheck>(new CurrentCheck(areas));
    try {
      if (self->StartNext(network, target, display)) return self;
    } catch (const Exception&) {
      current = false;  // a block no read can take: the run reports it
      return nullptr;
    }
    current = true;  // nothing to write
    return nullptr;
  }
  auto* self = dynamic_cast<CurrentCheck*>(context.get());
  if (self == nullptr) throw std::logic_error("the check was handed another context");
  if (self->read_->Request().Awaiting()) {
    self->read_->Wait(network, target);
    return context;
  }
  self->Unhook();
  try {
    if (self->read_->Continue(network, target)) return context;
    if (!Holds(areas[self->index_], self->read_->Area())) {
      current = false;
      return nullptr;
    }
    ++self->index_;
    if (self->StartNext(network, target, display)) return context;
  } catch (const Exception&) {
    current = false;
    return nullptr;
  }
  current = true;
  return nullptr;
}

}  // namespace qor
