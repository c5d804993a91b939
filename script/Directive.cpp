#include "script/Directive.h"

#include "exec/Context.h"

namespace qor {

std::unique_ptr<Context> Directive::Execute(std::unique_ptr<Context>, TargetNetwork&, Target&,
                                            ScriptDisplay&) const {
  return nullptr;
}

}  // namespace qor
