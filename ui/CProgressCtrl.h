#pragma once

#include <memory>

namespace qor {

class CDialog;

// The progress bar of a dialog: a position within a range, drawn as a filled part of the bar.
class CProgressCtrl {
 public:
  CProgressCtrl();
  ~CProgressCtrl();
  CProgressCtrl(const CProgressCtrl&) = delete;
  CProgressCtrl& operator=(const CProgressCtrl&) = delete;

  void Attach(CDialog& dialog, int id);
  [[nodiscard]] bool IsAttached() const;
  void SetRange32(int low, int high);
  // Kept within the range.
  void SetPos(int position);
  [[nodiscard]] int GetPos() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

void DDX_Control(CDialog& dialog, int id, CProgressCtrl& control);

}  // namespace qor
