// The program's web page: named in every message's advertising line and in the about box,
// and the target of the internet shortcut shipped beside the program.
#pragma once

#include <string_view>

namespace pelorin {

inline constexpr std::string_view kProgramWebAddress = "https://pelorin32.example.org/";
inline constexpr std::string_view kProgramVersion = "1.06";

}  // namespace pelorin
