#include "app/globals.h"

namespace pelorin {

const std::string DefaultSmtpServer = "localhost";
const std::string DefaultSmtpPort = "25";

std::string ProgramDir;
bool NeedsSetup = false;
std::string SmtpServer = DefaultSmtpServer;
std::string SmtpPort = DefaultSmtpPort;
std::string DialEntry;
bool UseDialup = false;
std::vector<std::string> NameList;
std::vector<std::string> AddressList;

void ResetGlobals() {
  NameList.clear();
  AddressList.clear();
  ProgramDir.clear();
  NeedsSetup = false;
  SmtpServer = DefaultSmtpServer;
  SmtpPort = DefaultSmtpPort;
  SenderAddress.clear();
  DialEntry.clear();
  UseDialup = false;
}

std::string FileBesideProgram(std::string_view fileName) {
  // ProgramDir already ends with the separator; a leading one on the name would double it.
  while (!fileName.empty() && fileName.front() == '/') fileName.remove_prefix(1);
  return ProgramDir + std::string(fileName);
}

}  // namespace pelorin
