#include "script/Directive.h"

namespace qor {

// The base finishes at once; it never touches the slot, which is empty at a first call.
void Directive::Execute(std::unique_ptr<Context>&, TargetNetwork&, Target&, ScriptDisplay&) const {}

const char* Directive::Name() const {
  switch (kind_) {
    case kProductDirective:
      return "*product";
    case kScriptDirective:
      return "*script";
    case kSectionDirective:
      return "*section";
    case kDownloadDirective:
      return "*download";
    case kLoadEnvDirective:
      return "*loadenv";
    case kSetEnvDirective:
      return "*setenv";
    case kEditEnvDirective:
      return "*editenv";
    case kSaveEnvDirective:
      return "*saveenv";
    case kRestartDirective:
      return "*restart";
    default:
      return "";
  }
}

std::vector<DirectiveField> Directive::Fields() const { return {}; }

std::vector<InputFile> Directive::InputFiles() const { return {}; }

}  // namespace qor
