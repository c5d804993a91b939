#include "exec/DirectiveRegistry.h"

#include "exec/DownloadDirective.h"
#include "exec/EditEnvDirective.h"
#include "exec/LoadSaveEnvDirective.h"
#include "exec/RestartDirective.h"
#include "exec/SetEnvDirective.h"
#include "script/ProductScriptDirective.h"
#include "script/SectionDirective.h"

namespace qor {
namespace {

constexpr DirectiveParser kRegistry[] = {
    &ProductScriptDirective::Parse, &SectionDirective::Parse, &DownloadDirective::Parse,
    &LoadSaveEnvDirective::Parse,   &SetEnvDirective::Parse,  &EditEnvDirective::Parse,
    &RestartDirective::Parse,
};

}  // namespace

std::span<const DirectiveParser> DirectiveRegistry() { return kRegistry; }

}  // namespace qor
