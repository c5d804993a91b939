#pragma once

#include <cstdint>
#include <string>

#include "platform/WideText.h"  // TextConversion
#include "res/ResourceIds.h"

namespace qor {

struct Point {
  int x = 0;
  int y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// left/top inclusive, right/bottom exclusive, as on Windows.
struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  [[nodiscard]] int Width() const { return right - left; }
  [[nodiscard]] int Height() const { return bottom - top; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// Message box types and answers (values as on Windows).
inline constexpr unsigned kMbOk = 0x00000000;
inline constexpr unsigned kMbYesNo = 0x00000004;
inline constexpr unsigned kMbTypeMask = 0x0000000F;
inline constexpr unsigned kMbIconError = 0x00000010;
inline constexpr unsigned kMbIconQuestion = 0x00000020;
inline constexpr unsigned kMbIconExclamation = 0x00000030;
inline constexpr unsigned kMbIconMask = 0x000000F0;
inline constexpr unsigned kMbDefButton2 = 0x00000100;
inline constexpr unsigned kMbDefMask = 0x00000F00;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Menu item flags.
inline constexpr unsigned kMfString = 0x0000;
inline constexpr unsigned kMfGrayed = 0x0001;
inline constexpr unsigned kMfSeparator = 0x0800;

// Pop-up tracking: align the left edge at x, return the chosen command instead of posting it.
inline constexpr unsigned kTpmLeftAlign = 0x0000;
inline constexpr unsigned kTpmReturnCmd = 0x0100;

// System commands the platform handles itself.
inline constexpr unsigned kScMinimize = 0xF020;
inline constexpr unsigned kScClose = 0xF060;
inline constexpr unsigned kScCommandMask = 0xFFF0;

// List view column alignment.
inline constexpr int kLvcfmtLeft = 0;

// Common controls classes: the Windows 95 set.
inline constexpr uint32_t kIccWin95Classes = 0x000000FF;

// Open-file dialog options.
inline constexpr uint32_t kOfnHideReadOnly = 0x00000004;
inline constexpr uint32_t kOfnFileMustExist = 0x00001000;
inline constexpr uint32_t kOfnShareAware = 0x00004000;
inline constexpr uint32_t kOfnExplorer = 0x00080000;

// Converts a rectangle in dialog units with the dialog font's base units (average character
// width and height in pixels), rounding as the platform does.
[[nodiscard]] Rect MapDialogRect(const Rect& dialogUnits, int baseWidth, int baseHeight);

}  // namespace qor
