// One download or stream recording at a time, as the window runs it. Both kinds report the same way:
// notes (redirects, retries, resuming), progress once a second, and one Finished at the end.
#pragma once
#include <QObject>
#include <QString>
#include <cstdint>

namespace dorrinel {

// Bounds of a transfer. The defaults are the program's; tests and the command line change them.
struct Limits {
  int idleSeconds = 30;                      // no byte at all for this long ends a transfer
  std::uint64_t lowSpeedBytes = 1024;        // fewer bytes per second than this, on average ...
  int lowSpeedSeconds = 60;                  // ... over this long, ends it too
  std::uint64_t maxBytes = 0;                // a larger file is refused; 0: no cap
  std::uint64_t reserveBytes = 64ull << 20;  // a file of unknown length leaves this much free on the
                                             // disk (half the free space when less was free at start)
  int retries = 5;                           // breaks in a row that are picked up again
  int retryDelayMs = 1000;
};

struct ProgressInfo {
  std::uint64_t bytes = 0;   // in the file so far
  std::int64_t total = -1;   // the whole length when known
  double bytesPerSecond = 0;
  double mediaSeconds = -1;  // recorded length of a stream when known
};

class Transfer : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  virtual void Start() = 0;
  // The person's Cancel: a download is dropped with its partial file; a recording stops and keeps
  // what it has.
  virtual void Cancel() = 0;
  // The program ends (SIGTERM): a download keeps its partial file, to be continued next time.
  virtual void Stop() = 0;
  virtual bool IsStream() const = 0;

 signals:
  void Note(const QString& text);
  void Progress(const dorrinel::ProgressInfo& info);
  void Finished(bool ok, const QString& message, const QString& path);
};

}  // namespace dorrinel
