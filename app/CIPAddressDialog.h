#pragma once

#include <cstdint>
#include <memory>

#include "ui/CDialog.h"

namespace qor {

// "Assign IP Address": edits the address to give a target. Every address the control can
// hold, 0.0.0.0 included, is returned on OK.
class CIPAddressDialog : public CDialog {
 public:
  // address in host order; 0 leaves the four fields blank.
  CIPAddressDialog(CDialog* parent, uint32_t address);
  ~CIPAddressDialog() override;

  // The initial address, or after OK the one entered.
  [[nodiscard]] uint32_t Address() const;

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;
  void OnOK() override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
