#pragma once

#include <string>

namespace qor {

// A message box owned by the innermost running dialog, captioned with the application's title.
// type combines the buttons (kMbOk, or kMbYesNo), an icon (kMbIconExclamation, kMbIconError,
// kMbIconQuestion) and the default button (the first, or kMbDefButton2). Returns the button
// pressed: kIdOk, kIdYes or kIdNo.
int AfxMessageBox(const std::string& text, unsigned type);

}  // namespace qor
