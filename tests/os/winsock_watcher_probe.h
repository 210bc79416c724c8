// Tells when the socket layer's watcher has caught up, so that a test can check that a
// notification did NOT come without waiting for an arbitrary time.
//
// The watcher looks at all selected sockets in rounds and posts every notification of a
// round before the next round begins. The probe has a connection of its own, selected for
// FD_READ to a window on a thread of its own; Complete() sends it one byte at a time, each
// once the one before has been announced and read. The second byte can only be announced in a
// round that looked at every socket after the call began, the third in a round after that one.
// So when Complete() returns, every notification that the sockets' state at the call gives has
// been posted; QCoreApplication::sendPostedEvents() then delivers those to the test's thread.
// The test's own thread handles no events meanwhile.
#pragma once

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "os/messages.h"
#include "os/winsock.h"
#include "os/winsock_test_peer.h"

namespace testing_support {

class WatcherProbe {
 public:
  WatcherProbe() {
    namespace ws = os::ws;
    if (ws::WSAStartup(0x0101, &data_) != 0) throw std::runtime_error("probe: WSAStartup failed");
    socket_ = ws::socket(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP);
    ws::SOCKADDR_IN address{};
    address.sin_family = ws::WS_AF_INET;
    address.sin_port = (ws::htons)(static_cast<ws::u_short>(peer_.Port()));
    address.sin_addr.s_addr = ws::inet_addr("127.0.0.1");
    if (socket_ < 0 ||
        ws::connect(socket_, reinterpret_cast<const ws::SOCKADDR*>(&address), sizeof address) !=
            0 ||
        peer_.Accept() < 0) {
      throw std::runtime_error("probe: no connection on 127.0.0.1");
    }
    window_.socket = socket_;
    window_.moveToThread(&thread_);
    thread_.start();
    if (ws::WSAAsyncSelect(socket_, &window_, kMessage, ws::FD_READ) != 0) {
      throw std::runtime_error("probe: WSAAsyncSelect failed");
    }
  }
  ~WatcherProbe() {
    os::ws::closesocket(socket_);
    thread_.quit();
    thread_.wait();
    os::ws::WSACleanup();
  }
  WatcherProbe(const WatcherProbe&) = delete;
  WatcherProbe& operator=(const WatcherProbe&) = delete;

  // False when the watcher did not announce a byte within 5 s.
  [[nodiscard]] bool Complete() {
    for (int round = 0; round < 3; ++round) {
      const int before = window_.announced.load();
      if (!peer_.Send("p")) return false;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (window_.announced.load() == before) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return true;
  }

  // Complete(), then the notifications it proves posted are delivered on this thread.
  [[nodiscard]] bool CompleteAndDeliver() {
    const bool complete = Complete();
    QCoreApplication::sendPostedEvents();
    return complete;
  }

 private:
  static constexpr unsigned kMessage = os::WM_USER + 99;

  // Reads each announced byte, so that the next one is announced again, then counts it.
  class Window : public os::ComponentWindow {
   public:
    void HandleMessage(const os::Message& message) override {
      if (message.msg != kMessage) return;
      char byte;
      os::ws::recv(socket, &byte, 1, 0);
      ++announced;
    }
    os::ws::SOCKET socket = os::ws::INVALID_SOCKET;
    std::atomic<int> announced{0};
  };

  os::ws::WSADATA data_{};
  TestListener peer_;
  os::ws::SOCKET socket_ = os::ws::INVALID_SOCKET;
  Window window_;
  QThread thread_;
};

}  // namespace testing_support
