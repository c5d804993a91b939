#pragma once

#include <string>

namespace qor {

// An OK-only message box owned by the innermost running dialog, captioned with the
// application's title. type combines kMbOk with kMbIconExclamation or kMbIconError.
// Returns the button pressed.
int AfxMessageBox(const std::string& text, unsigned type);

}  // namespace qor
