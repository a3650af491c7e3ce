#include "app/ui/web_strip.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStringDecoder>

namespace qv {

namespace {

constexpr qint64 kMaxPageBytes = 1 << 20;

// The page's character set: from the Content-Type header, else from a meta tag, else UTF-8.
QString DecodePage(const QByteArray& body, const QByteArray& contentType) {
  static const QRegularExpression charsetRe(QStringLiteral("charset\\s*=\\s*[\"']?([A-Za-z0-9_\\-]+)"),
                                            QRegularExpression::CaseInsensitiveOption);
  QString charset;
  auto m = charsetRe.match(QString::fromLatin1(contentType));
  if (!m.hasMatch()) m = charsetRe.match(QString::fromLatin1(body.left(2048)));
  if (m.hasMatch()) charset = m.captured(1);
  if (!charset.isEmpty()) {
    QStringDecoder decoder(charset.toLatin1().constData());
    if (decoder.isValid()) return decoder.decode(body);
  }
  return QString::fromUtf8(body);
}

}  // namespace

WebStrip::WebStrip(QWidget* parent) : QTextBrowser(parent) {
  setObjectName(QStringLiteral("TWBS1"));
  setOpenLinks(false);
  setFrameShape(QFrame::NoFrame);
  // The strip sits on a white panel: its page is drawn dark on white under any theme.
  QPalette pal = palette();
  pal.setColor(QPalette::Base, Qt::white);
  pal.setColor(QPalette::Text, Qt::black);
  setPalette(pal);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  net_.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
  connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& link) { Navigate(location_.resolved(link)); });
  connect(&net_, &QNetworkAccessManager::finished, this, &WebStrip::Finished);
}

void WebStrip::Navigate(const QUrl& url, bool fetch) {
  if (pending_) pending_->abort();
  SetLocation(url);
  if (!fetch || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
    ShowOwnBanner();
    return;
  }
  QNetworkRequest request(url);
  request.setTransferTimeout(15000);
  pending_ = net_.get(request);
}

void WebStrip::SetLocation(const QUrl& url) {
  if (url == location_) return;
  location_ = url;
  emit LocationChanged(url.toString(QUrl::FullyEncoded));
}

void WebStrip::Finished(QNetworkReply* reply) {
  reply->deleteLater();
  if (reply != pending_) return;
  pending_ = nullptr;
  if (reply->error() == QNetworkReply::OperationCanceledError) return;
  SetLocation(reply->url());
  if (reply->error() != QNetworkReply::NoError) {
    ShowOwnBanner();
    return;
  }
  const QByteArray body = reply->read(kMaxPageBytes);
  const QByteArray type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
  const QString text = DecodePage(body, type);
  document()->setDocumentMargin(4);
  if (type.startsWith("text/plain")) setPlainText(text);
  else setHtml(text);
}

// Without the maker's page the strip shows the program's own line.
void WebStrip::ShowOwnBanner() {
  setHtml(QStringLiteral("<div style='font-size:15px; color:#1a5fb4;'>"
                         "<b>Quelvar</b>&nbsp;&nbsp;音乐、视频、图片....一网打尽！</div>"));
  // The strip shows the page from (11, 17) on: the line is set inside that window.
  document()->setDocumentMargin(30);
}

// Pictures and style sheets of the page are not fetched: the strip shows the page's text only.
QVariant WebStrip::loadResource(int, const QUrl&) { return {}; }

}  // namespace qv
