// A download over HTTP or HTTPS through Qt Network, into a partial file of the download folder.
// The captured method, headers and body are sent again (request.h says which headers); redirects are
// followed here, not by Qt, so that each step is shown and another origin gets only harmless headers
// and never the body (HeadersForAnotherOrigin).
// A download that breaks off is taken up again with "Range: bytes=<have>-" (and If-Range with the
// server's validator); the answer decides (resume.h) whether the partial file goes on or starts over.
#pragma once
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <memory>
#include <vector>

#include "tools/Dorrinel/folder.h"
#include "tools/Dorrinel/rate.h"
#include "tools/Dorrinel/request.h"
#include "tools/Dorrinel/transfer.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace dorrinel {

class HttpDownload : public Transfer {
  Q_OBJECT
 public:
  HttpDownload(QNetworkAccessManager* network, DownloadFolder* folder, DownloadRequest request, Limits limits,
               QObject* parent = nullptr);
  ~HttpDownload() override;

  void Start() override;
  void Cancel() override;
  void Stop() override;
  bool IsStream() const override { return false; }

 private:
  void Send();
  void OnHeaders();
  void OnData();
  bool WriteAvailable(qint64 most);  // false when the download ended (a write failed, or the cap)
  void OnFinished();
  void OnTick();
  bool FollowRedirect(int status);
  void Retry(const QString& why);
  void Complete();
  void Fail(const QString& message, bool keepPart);
  void DropReply();
  QString Where() const;

  QNetworkAccessManager* network_;
  DownloadFolder* folder_;
  DownloadRequest request_;
  std::string partUrl_;  // the address the partial file belongs to: the first one, before redirects
  Limits limits_;
  QUrl url_;
  std::unique_ptr<PartFile> part_;
  std::vector<char> buffer_;
  QPointer<QNetworkReply> reply_;
  QTimer idle_;
  QTimer tick_;
  QTimer retry_;
  QElapsedTimer clock_;
  RateMeter meter_;
  std::uint64_t received_ = 0;    // bytes received in this run, over every attempt
  std::uint64_t rangeFrom_ = 0;   // the Range sent with the current request (0: none)
  std::string ifRange_;           // the If-Range sent with it (empty: none)
  std::int64_t total_ = -1;       // the whole file's length when the answer told it
  bool decided_ = false;          // the current answer's status was dealt with
  int redirects_ = 0;
  int breaks_ = 0;                // breaks in a row without progress between them
  std::uint64_t sizeAtSend_ = 0;
  std::uint64_t reserve_ = 0;     // free space a download of unknown length leaves on the disk
  class SlowDiskHook {
   public:
    SlowDiskHook();
    void Wrote(std::size_t n);

   private:
    std::uint64_t rate_ = 0;
    std::uint64_t bytes_ = 0;
    std::chrono::steady_clock::time_point start_;
  } slowDisk_;
  bool done_ = false;
};

}  // namespace dorrinel
