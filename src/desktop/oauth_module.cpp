// The entry of the module that the program loads when a send or the settings first ask for an
// OAuth2 token.
#include "desktop/qt_token_source.h"

extern "C" __attribute__((visibility("default"))) pelorin::oauth::TokenSource*
pelorin32_new_token_source() {
  return pelorin::oauth::NewQtTokenSource().release();
}
