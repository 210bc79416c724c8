// Records every event a TSockets raises, in order, for the component tests.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "os/msgbox.h"
#include "support/event_loop.h"
#include "transport/sockets.h"

namespace testing_support {

struct SocketEvent {
  std::string name;
  int socket = 0;
  int error = 0;
  std::string msg;
  bool operator==(const SocketEvent&) const = default;
};

inline void PrintTo(const SocketEvent& event, std::ostream* out) {
  *out << "{" << event.name << ", socket " << event.socket << ", error " << event.error << ", \""
       << event.msg << "\"}";
}

inline SocketEvent Raised(const std::string& name, int socket) {
  return {name, socket, 0, ""};
}

inline SocketEvent ErrorEvent(int socket, int error, const std::string& msg) {
  return {"Error", socket, error, msg};
}

class SocketEventLog {
 public:
  // Assigns all six events of `sockets`; `withErrorHandler` false leaves OnErrorOccurred
  // empty, so that failures go to the boxes.
  explicit SocketEventLog(pelorin::TSockets& sockets, bool withErrorHandler = true) {
    sockets.OnDataAvailable = Recorder("DataAvailable");
    sockets.OnDataNeeded = Recorder("DataNeeded");
    sockets.OnSessionClosed = Recorder("SessionClosed");
    sockets.OnSessionAvailable = Recorder("SessionAvailable");
    sockets.OnSessionConnected = Recorder("SessionConnected");
    if (!withErrorHandler) return;
    sockets.OnErrorOccurred = [this](pelorin::TSockets*, int socket, int error,
                                     const std::string& msg) {
      events.push_back(ErrorEvent(socket, error, msg));
    };
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const SocketEvent& event : events) names.push_back(event.name);
    return names;
  }
  bool WaitFor(const std::string& name, int timeoutMs = 20000) {
    return RunEventsUntil([&] { return Count(name) > 0; }, timeoutMs);
  }
  int Count(const std::string& name) const {
    int count = 0;
    for (const SocketEvent& event : events) count += event.name == name ? 1 : 0;
    return count;
  }

  std::vector<SocketEvent> events;

 private:
  std::function<void(pelorin::TSockets*, int)> Recorder(const std::string& name) {
    return [this, name](pelorin::TSockets*, int socket) { events.push_back(Raised(name, socket)); };
  }
};

// For tests that end the process: each box is written to standard error, CR LF shown as
// "<CRLF>", so that the test can match it in what the ended process wrote.
inline void PrintBoxes(os::BoxRecorder& boxes) {
  boxes.OnBox([](const os::BoxRequest& box) {
    std::string text = box.text;
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) {
      text.replace(at, 2, "<CRLF>");
    }
    std::fprintf(stderr, "BOX [%s] %s\n", box.caption.c_str(), text.c_str());
  });
}

}  // namespace testing_support
