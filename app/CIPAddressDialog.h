#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ui/CDialog.h"

namespace qor {

// "Assign IP Address": edits the address to give a target. OK refuses an address no target can
// hold, and asks before taking one that another target already holds; either way the dialog
// stays open for another address, or Cancel.
class CIPAddressDialog : public CDialog {
 public:
  // The target other than the one being assigned that holds address, named as the list shows
  // it; empty when none does.
  using HolderOf = std::function<std::string(uint32_t address)>;

  // address in host order; 0 leaves the four fields blank.
  CIPAddressDialog(CDialog* parent, uint32_t address, HolderOf holderOf = {});
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
