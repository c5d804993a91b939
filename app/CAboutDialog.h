#pragma once

#include <memory>
#include <string>

#include "ui/CDialog.h"

namespace qor {

// "About QOR": the program's name, its version and build date, and the copyright line.
class CAboutDialog : public CDialog {
 public:
  CAboutDialog();
  ~CAboutDialog() override;

  // The build date as "Oct  9 2008".
  [[nodiscard]] static std::string BuildDate();

 protected:
  void DoDataExchange() override;
  bool OnInitDialog() override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
