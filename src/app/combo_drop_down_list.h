// The settings dialog's combo box as the drop-down list that the dial-up unit fills.
#pragma once

#include <optional>
#include <string>

#include "platform/dialup.h"

class QComboBox;

namespace pelorin {

class ComboBoxList : public DropDownList {
 public:
  explicit ComboBoxList(QComboBox& box) : box_(box) {}
  void Clear() override;
  void Add(const std::string& item) override;
  void Select(std::optional<int> index) override;

 private:
  QComboBox& box_;
};

}  // namespace pelorin
