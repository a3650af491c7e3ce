// Program entry: binds the capture library, applies the single-copy rule, then runs the main window.
// At the end the window has stopped its session and joined its thread before the library goes.
#include <QStringList>
#include <QTimer>

#include "app/ui/application.h"
#include "app/ui/main_window.h"
#include "common/ui/prompter.h"
#include "capture/pcap_net.h"
#include "platform/single_copy.h"

int main(int argc, char** argv) {
  qv::PcapNet net;
  net.Bind();

  qv::SingleCopy single;
  if (single.Acquire() == qv::SingleCopy::Result::HeldElsewhere) return 0;  // another copy runs: end silently

  int rc = 0;
  {
    qv::QuelvarApplication app(argc, argv);
    qv::ApplyLook(app);
    qv::QtPrompter prompter;
    qv::TForm1 form(net, prompter);
    form.show();
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1) {
      const QString file = args.at(1);
      QTimer::singleShot(0, &form, [&form, file] { form.OpenCaptureFile(file); });
    }
    rc = QCoreApplication::exec();
  }
  net.Release();
  return rc;
}
