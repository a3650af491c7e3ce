// A loopback HTTP server for the downloader's tests, run in the test's own event loop. Every
// connection's request (head and body) is recorded; a handler decides what the connection gets, so
// that a test can break off, drip, never end, redirect or flood.
#pragma once
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dorrinel::testing {

struct SeenRequest {
  std::string head;  // request line and headers, up to the empty line
  std::string body;
  std::string Line() const { return head.substr(0, head.find("\r\n")); }
  std::string Target() const {
    const std::string line = Line();
    const std::size_t a = line.find(' ');
    return line.substr(a + 1, line.rfind(' ') - a - 1);
  }
  // The value of the first header of this name (case ignored), or "-" when there is none.
  std::string Header(const std::string& name) const {
    std::string lowerHead = head;
    for (char& c : lowerHead) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n" + name + ":";
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lowerHead.find(key);
    if (at == std::string::npos) return "-";
    const std::size_t from = head.find_first_not_of(' ', at + key.size());
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

class TestServer : public QObject {
 public:
  using Handler = std::function<void(const SeenRequest& request, QTcpSocket* socket)>;

  // `server`: a server of another kind (QSslServer) to listen with.
  explicit TestServer(Handler handler, std::unique_ptr<QTcpServer> server = nullptr, std::string scheme = "http")
      : handler_(std::move(handler)), server_(server ? std::move(server) : std::make_unique<QTcpServer>()),
        scheme_(std::move(scheme)) {
    server_->listen(QHostAddress::LocalHost, 0);
    auto take = [this] {
      while (QTcpSocket* socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        auto* buffer = new std::string;
        QObject::connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
          if (buffer->empty() && socket->property("served").toBool()) return;  // one request per connection
          const QByteArray data = socket->readAll();
          buffer->append(data.constData(), static_cast<std::size_t>(data.size()));
          const std::size_t end = buffer->find("\r\n\r\n");
          if (end == std::string::npos) return;
          SeenRequest r;
          r.head = buffer->substr(0, end);
          const std::string length = r.Header("Content-Length");
          const std::size_t want = length == "-" ? 0 : std::stoul(length);
          if (buffer->size() < end + 4 + want) return;
          r.body = buffer->substr(end + 4, want);
          buffer->clear();
          socket->setProperty("served", true);
          requests.push_back(r);
          handler_(r, socket);
        });
      }
    };
    QObject::connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, take);
  }

  quint16 port() const { return server_->serverPort(); }
  std::string Url(const std::string& path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port()) + path;
  }

  std::vector<SeenRequest> requests;

 private:
  Handler handler_;
  std::unique_ptr<QTcpServer> server_;
  std::string scheme_;
};

// Writes a whole answer and closes the connection once it is sent.
inline void Answer(QTcpSocket* socket, const std::string& statusLine, const std::string& headers,
                   const std::string& body) {
  const std::string out = "HTTP/1.1 " + statusLine + "\r\n" + headers + "Connection: close\r\n\r\n" + body;
  socket->write(out.data(), static_cast<qint64>(out.size()));
  socket->disconnectFromHost();
}

// Sends `piece` every `ms` until the connection goes (or the server does).
inline void KeepSending(QTcpSocket* socket, const std::string& head, std::string piece, int ms) {
  socket->write(head.data(), static_cast<qint64>(head.size()));
  auto* timer = new QTimer(socket);
  QObject::connect(timer, &QTimer::timeout, socket, [socket, piece] {
    if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < (1 << 20)) {
      socket->write(piece.data(), static_cast<qint64>(piece.size()));
    }
  });
  timer->start(ms);
}

}  // namespace dorrinel::testing
