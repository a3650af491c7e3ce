// Program entry: binds the capture library, applies the single-copy rule, then runs the main window.
// At the end the window has stopped its session and joined its thread before the library goes.
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/ui/application.h"
#include "app/ui/instance_channel.h"
#include "app/ui/main_window.h"
#include "capture/pcap_net.h"
#include "common/ui/prompter.h"
#include "platform/process.h"
#include "platform/single_copy.h"

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "usage: quelvar [CAPTURE-FILE]\n"
        "Lists the addresses of the files that programs on this machine fetch, from live traffic or from\n"
        "a capture file (pcap or pcapng) named here.\n"
        "  --help      this text\n"
        "  --version   the version\n"
        "Settings: setting.ini beside the program in its build folder, else $XDG_CONFIG_HOME/quelvar/setting.ini.\n");
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("quelvar %s\n", QUELVAR_VERSION);
    return 0;
  }
  qv::PcapNet net;
  net.Bind();

  qv::SingleCopy single;
  if (single.Acquire() == qv::SingleCopy::Result::HeldElsewhere) {
    // Another copy runs: it comes forward (and opens the capture file given here); this one ends.
    QCoreApplication forwarder(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    qv::InstanceChannel::Forward(qv::InstanceSocketPath(), args.size() > 1 ? args.at(1) : QString());
    return 0;
  }

  // On a Wayland desktop Qt would pick its Wayland platform by itself. The hand-off finds the
  // downloader's window, clicks it and shares the clipboard with it through X11, so the window runs
  // on the X display (Xwayland) whenever there is one and nobody chose a platform. It is passed as
  // Qt's "-platform" argument rather than through the environment, so that the programs started from
  // here keep the environment they were given (those of the hand-off get the X11 platform themselves).
  std::string platform = qv::WindowQtPlatform(std::getenv(qv::kQtPlatformVariable), std::getenv("DISPLAY"));
  std::string platformOption = "-platform";
  std::vector<char*> qtArgv(argv, argv + argc);
  if (!platform.empty() && !qtArgv.empty()) qtArgv.insert(qtArgv.begin() + 1, {platformOption.data(), platform.data()});
  int qtArgc = static_cast<int>(qtArgv.size());
  qtArgv.push_back(nullptr);

  int rc = 0;
  {
    qv::QuelvarApplication app(qtArgc, qtArgv.data());
    qv::ApplyLook(app);
    // Listening before the window is made: a second start during the start-up messages (which run
    // before the window shows) is kept until the window exists, instead of finding nobody.
    qv::InstanceChannel channel;
    channel.Hold();
    if (single.Held()) channel.Listen(qv::InstanceSocketPath());
    qv::QtPrompter prompter;
    qv::TForm1Options options;
    options.rememberState = true;  // the window's place, columns, mode and dialog folders
    qv::TForm1 form(net, prompter, options);
    app.EndWith(&form);
    form.show();
    QObject::connect(&channel, &qv::InstanceChannel::RaiseRequested, &form, [&form] { qv::BringForward(form); });
    QObject::connect(&channel, &qv::InstanceChannel::OpenRequested, &form,
                     [&form](const QString& file) { form.OpenCaptureFile(file); });
    channel.SetReady();
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
