// TWBS1: the small embedded web page of the tool bar. It fetches a page over HTTP, shows its text,
// follows links inside itself, and tells whoever listens the address it currently shows (request
// parsing must not list that address).
#pragma once
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

class QNetworkReply;

namespace qv {

class WebStrip : public QTextBrowser {
  Q_OBJECT
 public:
  explicit WebStrip(QWidget* parent = nullptr);
  // Points the page at `url`; `fetch` false shows the address without loading it.
  void Navigate(const QUrl& url, bool fetch = true);
  QUrl Location() const { return location_; }

 signals:
  void LocationChanged(const QString& address);

 protected:
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  void SetLocation(const QUrl& url);
  void Finished(QNetworkReply* reply);
  void ShowOwnBanner();

  QNetworkAccessManager net_;
  QPointer<QNetworkReply> pending_;
  QUrl location_;
};

}  // namespace qv
