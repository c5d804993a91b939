#pragma once

#include <memory>
#include <string>
#include <vector>

#include "script/DataSection.h"
#include "script/Directive.h"

namespace qor {

// *download: an image assembled when the script is read (0xFF, then an optional binary file,
// then S3 records) and moved into the target through its staging buffer when run.
class DownloadDirective final : public Directive {
 public:
  explicit DownloadDirective(std::unique_ptr<DataSection> section);
  ~DownloadDirective() override;

  [[nodiscard]] const DataSection& Section() const { return *section_; }

  void Execute(std::unique_ptr<Context>& context, TargetNetwork& network, Target& target,
               ScriptDisplay& display) const override;
  // The image's base, length, CRC-32 and the number of its chunks that would travel.
  [[nodiscard]] std::vector<DirectiveField> Fields() const override;

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);

 private:
  std::unique_ptr<DataSection> section_;
};

}  // namespace qor
