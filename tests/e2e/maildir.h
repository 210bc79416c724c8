// Reading what the test mail server delivered: maildir files, and the message as sent once
// the server's own trace and added headers are taken off.
#pragma once

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/read_file.h"

namespace testing_support {

// The test mail server that CTest starts for the end-to-end tests.
struct TestMailServer {
  std::string port;
  std::string maildir;
};

// A text no other run has put into a message, to find this run's messages by.
inline std::string UniqueMarker() {
  std::random_device random;
  return "run" + std::to_string(random()) + std::to_string(random());
}

inline TestMailServer TheTestMailServer() {
  return {PELORIN_TEST_SMTP_PORT, PELORIN_TEST_MAILDIR};
}

// Every delivered message whose text contains `marker`, waiting up to `timeout` for `count`.
inline std::vector<std::string> DeliveredMessages(const std::string& maildir,
                                                  const std::string& marker, std::size_t count,
                                                  std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> found;
  do {
    found.clear();
    const std::filesystem::path delivered = std::filesystem::path(maildir) / "new";
    if (std::filesystem::exists(delivered)) {
      for (const auto& entry : std::filesystem::directory_iterator(delivered)) {
        const std::string text = testing_support::ReadFile(entry.path());
        if (text.find(marker) != std::string::npos) found.push_back(text);
      }
    }
    if (found.size() >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  return found;
}

// The delivered text without what the server added: its trace headers (Return-Path,
// Delivered-To, Received with its continuation lines). Messages carry their own Date and
// Message-ID, so the server adds none and those stay.
inline std::string WithoutServerHeaders(const std::string& delivered) {
  std::istringstream lines(delivered);
  std::string line, result;
  bool inHeader = true, skippingContinuation = false;
  while (std::getline(lines, line)) {
    if (inHeader && line.empty()) inHeader = false;
    if (inHeader) {
      if (skippingContinuation && (line[0] == ' ' || line[0] == '\t')) continue;
      skippingContinuation = false;
      bool added = false;
      for (const char* name : {"Return-Path:", "Delivered-To:", "Received:"}) {
        added = added || line.rfind(name, 0) == 0;
      }
      if (added) {
        skippingContinuation = true;
        continue;
      }
    }
    result += line + "\n";
  }
  return result;
}

// A maildir stores lines ended by LF alone.
inline std::string WithLfLineEnds(std::string text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

}  // namespace testing_support
