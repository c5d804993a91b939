#pragma once

#include <QFrame>
#include <array>
#include <cstdint>

class QLineEdit;

namespace qor::qt {

// An IPv4 address editor that behaves as the Windows one does: four fields of up to three
// digits separated by dots, '.' or a third digit moves on, values above 255 become 255, and
// blank fields read as 0.
class QtAddressEdit final : public QFrame {
 public:
  explicit QtAddressEdit(QWidget* parent = nullptr);
  ~QtAddressEdit() override;

  void SetAddress(uint32_t address);
  void Clear();
  // Returns the number of non-blank fields.
  int Address(uint32_t& address) const;
  [[nodiscard]] QLineEdit* Field(int index) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Clamp(int index);
  std::array<QLineEdit*, 4> fields_{};
  std::array<QWidget*, 3> dots_{};
};

}  // namespace qor::qt
