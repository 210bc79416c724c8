// The loopback redirect of a sign-in (RFC 8252): a listener on 127.0.0.1 at a port the system
// chooses, which takes the browser's request to "/" with the provider's answer in its query
// and answers the browser a small page.
#pragma once

#include <QUrlQuery>
#include <functional>
#include <memory>
#include <string>

class QTcpServer;
class QTcpSocket;

namespace pelorin::oauth {

class LoopbackListener {
 public:
  // The text of the page the browser is answered with. It must not destroy the listener: a
  // flow that ends with the answer ends later, from the event loop.
  using Arrived = std::function<std::string(const QUrlQuery& answer)>;

  explicit LoopbackListener(Arrived arrived);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool Open(std::string* failure);
  // "http://127.0.0.1:PORT/"
  std::string RedirectUri() const;

 private:
  void Take(QTcpSocket* socket);
  void Answer(QTcpSocket* socket, const QByteArray& request);

  Arrived arrived_;
  std::unique_ptr<QTcpServer> server_;
};

}  // namespace pelorin::oauth
