#include "app/combo_drop_down_list.h"

#include <QComboBox>

#include "app/qstring_text.h"

namespace pelorin {

void ComboBoxList::Clear() {
  box_.clear();
}

void ComboBoxList::Add(const std::string& item) {
  box_.addItem(ToQString(item));
}

void ComboBoxList::Select(std::optional<int> index) {
  // A combo box selects its first item by itself; "nothing" must be set explicitly.
  box_.setCurrentIndex(index.value_or(-1));
}

}  // namespace pelorin
