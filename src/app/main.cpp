#include <QApplication>

#include "app/startup.h"
#include "os/box_presenter_widgets.h"
#include "os/kernel.h"
#include "os/msgbox.h"

int main(int argc, char** argv) {
  // Kept before Qt takes out the options it knows: the program sees its whole command line.
  os::SetCommandLine(argc, argv);
  QApplication application(argc, argv);
  // Installed here, once, rather than in RunApplication: a test that runs the program keeps
  // its own box recorder in place.
  os::InstallSeams(os::WindowedBoxSeams());
  return pelorin::RunApplication(os::GetModuleFileName());
}
