#include "exec/LoadSaveEnvDirective.h"

#include "exec/LoadEnvContext.h"
#include "exec/SaveEnvContext.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "script/DirectiveLines.h"
#include "script/Lexer.h"

namespace qor {
namespace {

constexpr uint32_t kCrcBytes = 4;

}  // namespace

LoadSaveEnvDirective::LoadSaveEnvDirective(bool isLoad, uint32_t address, uint32_t length)
    : Directive(isLoad ? kLoadEnvDirective : kSaveEnvDirective),
      isLoad_(isLoad),
      address_(address),
      length_(length) {}

std::unique_ptr<Directive> LoadSaveEnvDirective::Parse(const Script&, DirectiveLines& lines) {
  const std::vector<std::string> words = Tokenize(lines.First());
  if (words.empty()) return nullptr;
  bool isLoad = false;
  if (EqualsIgnoreCase(words[0], "*loadenv")) {
    isLoad = true;
  } else if (!EqualsIgnoreCase(words[0], "*saveenv")) {
    return nullptr;
  }
  if (words.size() != 3) {
    throw ParseException(
        Format("%s directive must be followed by address and length", words[0].c_str()), 0);
  }
  const auto address = static_cast<uint32_t>(ParseNumber(words[1]));
  // A length of 0 is refused when the directive runs, not here.
  const auto length = static_cast<uint32_t>(ParseNumber(words[2]));
  // Such a block would be written as zeros, and could never be read as anything but damaged.
  if (length > 0 && length < kCrcBytes) {
    throw ParseException(Format("%s directive's block of %u byte%s cannot hold its %u-byte CRC",
                                words[0].c_str(), length, length == 1 ? "" : "s", kCrcBytes),
                         0);
  }
  if (lines.HasMore()) {
    throw ParseException(Format("Extraneous line(s) following %s directive", words[0].c_str()), 1);
  }
  return std::make_unique<LoadSaveEnvDirective>(isLoad, address, length);
}

void LoadSaveEnvDirective::Execute(std::unique_ptr<Context>& context, TargetNetwork& network,
                                   Target& target, ScriptDisplay& display) const {
  context =
      isLoad_
          ? LoadEnvContext::Run(address_, length_, std::move(context), network, target, display)
          : SaveEnvContext::Run(address_, length_, std::move(context), network, target, display);
}

std::vector<DirectiveField> LoadSaveEnvDirective::Fields() const {
  return {{"address", uint64_t{address_}}, {"length", uint64_t{length_}}};
}

}  // namespace qor
