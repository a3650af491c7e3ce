// How a downloader's transfer ended, as its signals told it, for the downloader's tests.
#pragma once
#include <gtest/gtest.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>

#include "tests/common/wait_until.h"
#include "tools/Dorrinel/transfer.h"

namespace dorrinel::testing {

struct Outcome {
  bool finished = false;
  bool ok = false;
  QString message;
  QString path;
  QStringList notes;
  std::string Text() const { return (message + " | " + notes.join(QStringLiteral(" | "))).toStdString(); }
};

// Starts `t`, runs `meanwhile` (when given) and then the event loop until `t` finishes or `ms` have
// passed (a test failure).
inline Outcome RunToEnd(Transfer& t, int ms, const std::function<void(Transfer&)>& meanwhile = {}) {
  Outcome o;
  QObject::connect(&t, &Transfer::Note, [&](const QString& n) { o.notes << n; });
  QObject::connect(&t, &Transfer::Finished, [&](bool ok, const QString& message, const QString& path) {
    o.finished = true;
    o.ok = ok;
    o.message = message;
    o.path = path;
  });
  t.Start();
  if (meanwhile) meanwhile(t);
  EXPECT_TRUE(qv::testing::WaitUntil([&] { return o.finished; }, ms)) << o.Text();
  return o;
}

}  // namespace dorrinel::testing
