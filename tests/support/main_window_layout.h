// The quick-send window as it is laid out: its place on the screen and each control's place,
// caption and hint. The window's own test pins them once; the desktop tests click the
// controls where they stand.
#pragma once

#include <string_view>

namespace testing_support {

struct Point {
  int x;
  int y;
};

struct Place {
  int x;
  int y;
  int width;
  int height;
};

struct ControlLayout {
  const char* name;
  Place place;  // a label's width is the least it has: a label grows to fit its text
  const char* text;
  const char* hint;
};

inline constexpr Place kMainWindowPlace{434, 114, 357, 355};
inline constexpr Point kStatusLabelPlace{69, 337};

inline constexpr ControlLayout kMainWindowControls[] = {
    {"Label1", {5, 8, 28, 13}, "Name", ""},
    {"Label4", {5, 32, 28, 13}, "E-mail", ""},
    {"Label2", {5, 56, 36, 13}, "Subject", ""},
    {"Label3", {5, 80, 24, 13}, "Body", ""},
    {"edsName",
     {69, 3, 279, 21},
     "",
     "Select the name of the person you want to send mail to or enter a new."},
    {"edsEmail", {69, 27, 280, 21}, "", "Enter the e-mail of the person you want to send mail to."},
    {"edsSubj", {69, 51, 280, 21}, "", "The subject of the e-mail to be sent."},
    {"edsMemo", {68, 76, 281, 225}, "", "The body of the e-mail to be sent!"},
    {"cmdMake", {68, 308, 65, 21}, "&Send", "Sends the composed e-mail."},
    {"cmdAdd", {140, 308, 65, 21}, "&Add", "Adds the name and e-mail to the name list."},
    {"cmdDel", {212, 308, 65, 21}, "&Delete", "Deletes the selected person."},
    {"cmdMin", {284, 308, 65, 21}, "&Close", "Minimizes the application."},
};

// The middle of a control, in the window's client coordinates.
constexpr Point CentreOf(std::string_view name) {
  for (const ControlLayout& control : kMainWindowControls) {
    if (name == control.name) {
      return {control.place.x + control.place.width / 2,
              control.place.y + control.place.height / 2};
    }
  }
  throw "no such control";  // at compile time: the name is misspelt
}

}  // namespace testing_support
