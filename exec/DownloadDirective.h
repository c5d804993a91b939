#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "script/DataSection.h"
#include "script/Directive.h"

namespace qor {

// *download: an image assembled when the script is read (0xFF, then an optional binary file,
// then S3 records) and moved into the target through its staging buffer when run.
class DownloadDirective final : public Directive {
 public:
  // image: the binary file the image was loaded from, when there is one.
  explicit DownloadDirective(std::unique_ptr<DataSection> section,
                             std::optional<InputFile> image = std::nullopt);
  ~DownloadDirective() override;

  [[nodiscard]] const DataSection& Section() const { return *section_; }

  void Execute(std::unique_ptr<Context>& context, TargetNetwork& network, Target& target,
               ScriptDisplay& display) const override;
  // The image's base, length, CRC-32 and the number of its chunks that would travel.
  [[nodiscard]] std::vector<DirectiveField> Fields() const override;
  // The binary file, with the digest of what was loaded from it when one was asked for.
  [[nodiscard]] std::vector<InputFile> InputFiles() const override;

  static std::unique_ptr<Directive> Parse(const Script& script, DirectiveLines& lines);

 private:
  std::unique_ptr<DataSection> section_;
  std::optional<InputFile> image_;
};

}  // namespace qor
