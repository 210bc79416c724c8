#include "desktop/oauth_loopback.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

namespace pelorin::oauth {
namespace {

// A request line and headers longer than this are no browser's redirect.
constexpr qsizetype kLongestRequest = 16 * 1024;

QByteArray Response(const char* status, const std::string& text) {
  const QByteArray body =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Pelorin 32"
      "</title></head><body><p>" +
      QString::fromStdString(text).toHtmlEscaped().toUtf8() + "</p></body></html>\n";
  return QByteArray("HTTP/1.1 ") + status +
         "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
         "Connection: close\r\nContent-Length: " +
         QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// The target of "GET /path?query HTTP/1.1", or an empty URL when it is no such line.
QUrl TargetOf(const QByteArray& request) {
  const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
  if (words.size() != 3 || words[0] != "GET") return {};
  return QUrl(QString::fromLatin1(words[1]), QUrl::StrictMode);
}

}  // namespace

LoopbackListener::LoopbackListener(Arrived arrived) : arrived_(std::move(arrived)) {}

LoopbackListener::~LoopbackListener() = default;

bool LoopbackListener::Open(std::string* failure) {
  server_ = std::make_unique<QTcpServer>();
  if (!server_->listen(QHostAddress::LocalHost, 0)) {
    *failure =
        "The sign-in cannot wait for the browser's answer: no port could be opened on "
        "127.0.0.1 (" +
        server_->errorString().toStdString() + ").";
    return false;
  }
  QObject::connect(server_.get(), &QTcpServer::newConnection, server_.get(), [this] {
    while (QTcpSocket* socket = server_->nextPendingConnection()) Take(socket);
  });
  return true;
}

std::string LoopbackListener::RedirectUri() const {
  return "http://127.0.0.1:" + std::to_string(server_->serverPort()) + "/";
}

void LoopbackListener::Take(QTcpSocket* socket) {
  socket->setParent(server_.get());
  QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  QObject::connect(socket, &QTcpSocket::readyRead, server_.get(), [this, socket] {
    const QByteArray request = socket->peek(kLongestRequest);
    if (request.contains("\r\n\r\n") || request.size() >= kLongestRequest) {
      socket->readAll();
      Answer(socket, request);
    }
  });
}

void LoopbackListener::Answer(QTcpSocket* socket, const QByteArray& request) {
  const QUrl target = TargetOf(request);
  // Form-encoded (RFC 6749 4.1.2): a '+' stands for a space.
  const QUrlQuery query(target.query(QUrl::FullyEncoded).replace(QLatin1Char('+'), "%20"));
  const bool isAnswer =
      target.path() == QLatin1String("/") &&
      (query.hasQueryItem(QStringLiteral("code")) || query.hasQueryItem(QStringLiteral("error")));
  // Whatever else a browser asks for (an icon, say) is not there.
  const QByteArray response =
      isAnswer ? Response("200 OK", arrived_(query)) : Response("404 Not Found", "Nothing here.");
  // Answered, the socket outlives the listener until the page has gone out.
  socket->setParent(nullptr);
  socket->disconnect(server_.get());
  socket->write(response);
  socket->disconnectFromHost();
}

}  // namespace pelorin::oauth
