#pragma once

#include <cstdint>
#include <memory>

namespace qor {

class CDialog;

// The four-field IPv4 address control of a dialog. Addresses are in host order, the first
// field being the most significant byte.
class CIPAddressCtrl {
 public:
  CIPAddressCtrl();
  ~CIPAddressCtrl();
  CIPAddressCtrl(const CIPAddressCtrl&) = delete;
  CIPAddressCtrl& operator=(const CIPAddressCtrl&) = delete;

  void Attach(CDialog& dialog, int id);
  [[nodiscard]] bool IsAttached() const;
  void SetAddress(uint32_t address);
  // Blanks all four fields.
  void ClearAddress();
  // Blank fields read as 0. Returns the number of non-blank fields.
  int GetAddress(uint32_t& address) const;
  [[nodiscard]] bool IsBlank() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

void DDX_Control(CDialog& dialog, int id, CIPAddressCtrl& control);

}  // namespace qor
