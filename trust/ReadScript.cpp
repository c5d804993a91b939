#include "trust/ReadScript.h"

#include <cstdio>
#include <vector>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "trust/Blake2bDigest.h"

namespace qor {
namespace {

constexpr char kSignatureExtension[] = ".minisig";

const char* Problem(SignatureStatus status) {
  switch (status) {
    case SignatureStatus::kMissing:
      return "is not signed";
    case SignatureStatus::kUnknownKey:
      return "is not signed by a trusted key";
    case SignatureStatus::kMalformed:
      return "has a malformed signature";
    case SignatureStatus::kLegacy:
      return "has a legacy signature";
    case SignatureStatus::kBad:
    case SignatureStatus::kGood:
      break;
  }
  return "has a bad signature";
}

void RequireGood(const SignatureCheck& check, const std::string& what) {
  if (check.status != SignatureStatus::kGood) {
    throw Exception(Format("%s %s", what.c_str(), Problem(check.status)));
  }
}

std::string ScriptWhat(const std::string& path) {
  return Format("Script %s", LastPathComponent(path).c_str());
}

bool Readable(const std::string& path) {
  if (IsDirectory(path)) return false;
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// The BLAKE2b-512 of the whole file, read in pieces; nothing when it cannot be read.
std::optional<std::vector<uint8_t>> HashFile(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return std::nullopt;
  Blake2bDigest digest;
  std::vector<uint8_t> piece(64 * 1024);
  size_t got = 0;
  while ((got = std::fread(piece.data(), 1, piece.size(), file)) > 0) {
    digest.Update(std::span<const uint8_t>(piece.data(), got));
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return std::nullopt;
  return digest.Finish();
}

}  // namespace

SignedScript ReadScript(const std::string& path, std::span<const DirectiveParser> registry,
                        const TrustedKeys& keys, ScriptReadObserver* observer) {
  SignedScript read;
  if (keys.Empty()) {
    read.script = std::make_unique<Script>(path, registry, observer);
    return read;
  }
  const std::string signaturePath = path + kSignatureExtension;
  // A script nobody trusted signed is refused before it, or any image of it, is read; one that
  // is not there says so, as it always did.
  const SignatureCheck examined = keys.Examine(signaturePath);
  if (examined.status != SignatureStatus::kGood && Readable(path)) {
    RequireGood(examined, ScriptWhat(path));
  }
  try {
    read.script = std::make_unique<Script>(path, registry, observer, &Blake2bDigest::Make);
  } catch (const Exception&) {
    // A script that does not read may be one changed since it was signed: that is the
    // operator's first concern. The file is hashed again only to choose the message; nothing
    // read here is used.
    if (const auto digest = HashFile(path)) {
      RequireGood(keys.Check(signaturePath, *digest), ScriptWhat(path));
    }
    throw;
  }
  // Checked over the digests taken while the files were read: a file changed on disk since
  // then does not matter, and one changed while it was read fails its check.
  read.signature = keys.Check(signaturePath, read.script->FileDigest());
  RequireGood(*read.signature, ScriptWhat(path));
  const std::string scriptName = LastPathComponent(path);
  for (int32_t i = 0; i < read.script->DirectiveCount(); ++i) {
    for (const InputFile& file : read.script->DirectiveAt(i).InputFiles()) {
      RequireGood(keys.Check(file.path + kSignatureExtension, file.digest),
                  Format("Image %s of %s", file.name.c_str(), scriptName.c_str()));
    }
  }
  return read;
}

LintedScript ReadScriptWithLint(const std::string& path, std::span<const DirectiveParser> registry,
                                const TrustedKeys& keys) {
  ScriptLint lint;
  LintedScript read;
  static_cast<SignedScript&>(read) = ReadScript(path, registry, keys, &lint);
  lint.Finish(*read.script);
  read.warnings = lint.Warnings();
  return read;
}

}  // namespace qor
