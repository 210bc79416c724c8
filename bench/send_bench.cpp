// Carries N queued messages of a given size through one SMTP conversation with the program's
// own transport (TSockets and the SMTP session on Qt's event loop, no windows) and prints
// messages per second, the median and 95th-percentile time per message and the time until the
// first message was accepted, then whether the conversation pipelined its commands.
//
//   pelorin_send_bench [--host H] [--port P] [--messages N] [--size BYTES] [--line-length L]
//                      [--local-server] [--runs R] [--security none|starttls|tls]
//                      [--user U --password P] [--extended]
//
// --local-server answers on 127.0.0.1 itself with the shortest replies a server can give, so
// that only the client's own cost (and TCP's) is measured; --runs repeats the conversation.
// --security secures the connection (the certificate checked against the system's trust
// store, so SSL_CERT_FILE works, and against the name given with --host); --user signs in;
// --extended says EHLO without TLS, so that the server's extensions (PIPELINING) are used.
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bench/local_smtp_server.h"
#include "transport/outbox.h"
#include "transport/shared_data.h"
#include "transport/smtp_session.h"
#include "transport/sockets.h"
#include "transport/tls_channel.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  std::string port = "25";
  int messages = 1;
  std::size_t size = 1024;
  std::size_t lineLength = 72;
  bool localServer = false;
  int runs = 1;
  pelorin::SmtpOptions smtp;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr, "pelorin_send_bench: %s\n", problem.c_str());
  std::exit(2);
}

pelorin::SmtpSecurity ParseSecurity(const std::string& text) {
  if (text == "none") return pelorin::SmtpSecurity::None;
  if (text == "starttls") return pelorin::SmtpSecurity::StartTls;
  if (text == "tls") return pelorin::SmtpSecurity::Tls;
  Usage("--security takes none, starttls or tls, not \"" + text + "\"");
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (arg == "--host")
      options.host = value();
    else if (arg == "--port")
      options.port = value();
    else if (arg == "--messages")
      options.messages = std::atoi(value().c_str());
    else if (arg == "--size")
      options.size = std::strtoul(value().c_str(), nullptr, 10);
    else if (arg == "--line-length")
      options.lineLength = std::strtoul(value().c_str(), nullptr, 10);
    else if (arg == "--local-server")
      options.localServer = true;
    else if (arg == "--runs")
      options.runs = std::atoi(value().c_str());
    else if (arg == "--security")
      options.smtp.security = ParseSecurity(value());
    else if (arg == "--user")
      options.smtp.userName = value();
    else if (arg == "--password")
      options.smtp.password = value();
    else if (arg == "--extended")
      options.smtp.extended = true;
    else
      Usage("unknown option " + arg);
  }
  if (options.localServer && options.smtp.security != pelorin::SmtpSecurity::None)
    Usage("--local-server speaks plain text only; leave out --security");
  return options;
}

// A message of about `size` bytes: the header lines the program writes, then body lines.
std::string ComposedMessage(int index, std::size_t size, std::size_t lineLength) {
  std::string text = "Subject: bench " + std::to_string(index) +
                     "\r\nTo:  <bench@example.org>\r\nFrom: me@example.com\r\n"
                     "X-Mailer: Pelorin 1.06\r\n\r\n\r\n";
  // Whole lines appended as they are, so that building a large message costs little of the
  // time measured; the last line is cut short to end near `size`.
  const std::size_t length = std::max<std::size_t>(lineLength, 1);
  const std::string line = std::string(length, 'x') + "\r\n";
  text.reserve(size + line.size());
  while (text.size() < size) {
    const std::size_t left = size - text.size();
    if (left >= length) {
      text += line;
    } else {
      text.append(left, 'x');
      text += "\r\n";
    }
  }
  return text;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index =
      static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

struct RunResult {
  bool ok = false;
  double seconds = 0;
  std::vector<double> perMessageMs;  // the first from the start: connecting, greeting, sign-in
  bool pipelined = false;
};

// The session's owner for one conversation, as the main window is, without windows: it prints
// what the session would have the user see, goes on after a halt, and counts either as failure.
// Socket errors reach the session from the event loop, never from inside a socket call.
class BenchConversation {
 public:
  explicit BenchConversation(const Options& options) {
    for (int i = 0; i < options.messages; ++i) {
      outbox_.Append("bench@example.org", ComposedMessage(i, options.size, options.lineLength), {});
    }
    socket_.OnDataAvailable = [this](pelorin::TSockets* sender, int) {
      char buffer[4096];
      const int received = sender->SReceive(sender->SocketHandle(), buffer, sizeof buffer);
      if (received > 0) Take(session_.SmtpHandleReply(*sender, std::string_view(buffer, received)));
      NoteAcceptedMessages();
    };
    socket_.OnErrorOccurred = [this](pelorin::TSockets*, int, int error, const std::string& msg) {
      if (goingOn_) return;  // raised by GoOn's QUIT or close: the trouble already shown
      QMetaObject::invokeMethod(
          &socket_, [this, error, msg] { Fail(error, msg); }, Qt::QueuedConnection);
    };
    socket_.OnSessionClosed = [this](pelorin::TSockets*, int) {
      Take(session_.ConnectionClosed(socket_));
    };
    socket_.OnTlsEstablished = [this](pelorin::TSockets*, int) {
      Take(session_.TlsEstablished(socket_));
    };
  }

  RunResult Run(const std::string& host, const std::string& port,
                const pelorin::SmtpOptions& options) {
    pelorin::SenderAddress = "me@example.com";
    const Clock::time_point start = Clock::now();
    last_ = start;
    socket_.SetTls(host, {}, options.security == pelorin::SmtpSecurity::Tls);
    session_.Prepare(socket_, host, port, options);
    socket_.SConnect();
    // Without a time limit: with one, processEvents ignores WaitForMoreEvents and polls.
    while (!over_) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result_.ok = !shownAnything_ && outbox_.Empty() && !session_.Outcome().failed;
    result_.pipelined = session_.Pipelined();
    return result_;
  }

 private:
  void Take(const pelorin::SmtpTurn& turn) {
    switch (turn.kind) {
      case pelorin::SmtpTurn::Kind::Going:
        return;
      case pelorin::SmtpTurn::Kind::Halted: {
        Show(turn.halt.shown);
        goingOn_ = true;
        const pelorin::SmtpTurn next = session_.GoOn(socket_);
        goingOn_ = false;
        return Take(next);
      }
      case pelorin::SmtpTurn::Kind::Notice:
        Show(turn.halt.shown);
        over_ = true;  // an error with no conversation: nothing more will come
        return;
      case pelorin::SmtpTurn::Kind::Over:
        over_ = true;
        return;
    }
  }

  void Fail(int error, const std::string& msg) {
    if (error != pelorin::kTlsHandshakeFailed) return Take(session_.SmtpError(socket_, msg));
    // The connection cannot be trusted: nothing more goes to it, not even QUIT.
    Show(msg);
    Take(session_.Abort(socket_, "the connection could not be secured"));
  }

  void Show(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    shownAnything_ = true;
  }

  void NoteAcceptedMessages() {
    const std::size_t accepted = session_.Outcome().accepted.size();
    for (; counted_ < accepted; ++counted_) {
      const Clock::time_point now = Clock::now();
      result_.perMessageMs.push_back(
          std::chrono::duration<double, std::milli>(now - last_).count());
      last_ = now;
    }
  }

  pelorin::Outbox outbox_;
  pelorin::SmtpSession session_{outbox_};
  pelorin::TSockets socket_;
  RunResult result_;
  Clock::time_point last_;
  std::size_t counted_ = 0;
  bool over_ = false;
  bool goingOn_ = false;
  bool shownAnything_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const Options options = ParseOptions(argc, argv);
  LocalSmtpServer server;
  std::string port = options.port;
  if (options.localServer) port = std::to_string(server.Start());

  // OpenSSL is loaded before the clock starts, as the program loads it while its window is
  // shown and as smtplib's Python has on `import ssl`.
  if (options.smtp.security != pelorin::SmtpSecurity::None) {
    std::string failure;
    if (!pelorin::OpenTlsChannel("localhost", "", &failure)) {
      std::fprintf(stderr, "%s\n", failure.c_str());
      return 1;
    }
  }
  std::vector<double> perMessage;
  std::vector<double> firstMessage;
  double seconds = 0;
  bool pipelined = true;
  for (int run = 0; run < options.runs; ++run) {
    BenchConversation conversation(options);
    const RunResult result = conversation.Run(options.host, port, options.smtp);
    if (!result.ok) {
      std::fprintf(stderr, "the conversation did not deliver every message\n");
      return 1;
    }
    seconds += result.seconds;
    perMessage.insert(perMessage.end(), result.perMessageMs.begin(), result.perMessageMs.end());
    if (!result.perMessageMs.empty()) firstMessage.push_back(result.perMessageMs.front());
    pipelined = pipelined && result.pipelined;
  }
  const double total = static_cast<double>(options.messages) * options.runs;
  std::printf(
      "messages=%d size=%zu runs=%d msgs_per_sec=%.1f median_ms=%.3f p95_ms=%.3f "
      "first_ms=%.3f\n",
      options.messages, options.size, options.runs, total / seconds, Percentile(perMessage, 0.5),
      Percentile(perMessage, 0.95), Percentile(firstMessage, 0.5));
  std::printf("pipelined: %s\n", pipelined ? "yes" : "no");
  return 0;
}
