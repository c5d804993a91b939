#include "ui/Backend.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace qor {

namespace {
// a * b / c rounded half away from zero.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = std::llabs(c) / 2;
  const long long rounded = (product >= 0) == (c > 0) ? product + (c > 0 ? half : -half)
                                                      : product - (c > 0 ? half : -half);
  return static_cast<int>(rounded / c);
}
}  // namespace

Rect MapDialogRect(const Rect& units, int baseWidth, int baseHeight) {
  return {MulDiv(units.left, baseWidth, 4), MulDiv(units.top, baseHeight, 8),
          MulDiv(units.right, baseWidth, 4), MulDiv(units.bottom, baseHeight, 8)};
}

namespace ui {

namespace {
WindowSystem* g_system = nullptr;
}

WindowSystem& CurrentWindowSystem() {
  if (g_system == nullptr) throw std::logic_error("no window system installed");
  return *g_system;
}

void SetWindowSystem(WindowSystem* system) { g_system = system; }

}  // namespace ui
}  // namespace qor
