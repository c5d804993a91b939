#include "exec/DownloadDirective.h"

#include "exec/DownloadContext.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "script/DirectiveLines.h"
#include "script/Lexer.h"
#include "script/Script.h"

namespace qor {
namespace {

// The file word joined to the script's folder. A script named without any folder lies in the
// current directory, so its images are looked for there.
std::string ImagePath(const std::string& scriptName, const std::string& fileWord) {
  const std::string folder = HasFolder(scriptName) ? FolderOfPath(scriptName) : std::string(".");
  return folder + kPathSeparator + fileWord;
}

}  // namespace

DownloadDirective::DownloadDirective(std::unique_ptr<DataSection> section,
                                     std::optional<InputFile> image)
    : Directive(kDownloadDirective), section_(std::move(section)), image_(std::move(image)) {}

DownloadDirective::~DownloadDirective() = default;

std::unique_ptr<Directive> DownloadDirective::Parse(const Script& script, DirectiveLines& lines) {
  const std::vector<std::string> words = Tokenize(lines.First());
  if (words.empty() || !EqualsIgnoreCase(words[0], "*download")) return nullptr;
  if (words.size() < 3 || words.size() > 4) {
    throw ParseException(
        "*DOWNLOAD directive must be followed by address, length, and optional filename", 0);
  }
  // Addresses and lengths of 0x80000000 and more are written as negative numbers.
  const auto base = static_cast<uint32_t>(ParseNumber(words[1]));
  const auto length = static_cast<uint32_t>(ParseNumber(words[2]));
  auto section = std::make_unique<DataSection>(base, length);

  std::optional<InputFile> image;
  if (words.size() == 4) {
    image = InputFile{words[3], ImagePath(script.FileName(), words[3]), {}};
    // Hashed as it is loaded: a signature is checked against the very bytes of the image.
    const std::unique_ptr<ByteDigest> digest = script.NewDigest();
    try {
      LoadBinaryFile(*section, image->path, digest.get());
    } catch (const Exception& error) {
      throw ParseException(error.Message(), 0);
    }
    if (digest) image->digest = digest->Finish();
  }

  // Records follow the file, so they overwrite its bytes; a later record overwrites an earlier.
  // They are taken one by one as the reader gives them, into one block reused for each.
  DataBlock record;
  std::string_view line;
  while (lines.Next(line)) {
    try {
      if (ParseSRecordInto(line, record)) section->AddBlock(record);
    } catch (const Exception& error) {
      throw ParseException(error.Message(), lines.Offset());
    }
  }
  return std::make_unique<DownloadDirective>(std::move(section), std::move(image));
}

void DownloadDirective::Execute(std::unique_ptr<Context>& context, TargetNetwork& network,
                                Target& target, ScriptDisplay& display) const {
  context = DownloadContext::Run(*section_, std::move(context), network, target, display);
}

std::vector<InputFile> DownloadDirective::InputFiles() const {
  if (!image_) return {};
  return {*image_};
}

std::vector<DirectiveField> DownloadDirective::Fields() const {
  const DataSection& image = *section_;
  return {{"base", uint64_t{image.Base()}},
          {"length", uint64_t{image.Length()}},
          {"crc32", uint64_t{image.ImageCrc()}},
          {"nonblank_chunks", uint64_t{image.NonBlankChunkCount()}}};
}

}  // namespace qor
