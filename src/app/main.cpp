#include <QApplication>

#include "app/startup.h"
#include "os/kernel.h"

int main(int argc, char** argv) {
  // Kept before Qt takes out the options it knows: the program sees its whole command line.
  os::SetCommandLine(argc, argv);
  QApplication application(argc, argv);
  return pelorin::RunApplication(os::GetModuleFileName());
}
