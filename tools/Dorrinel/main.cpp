// Dorrinel, the simple downloader that ships beside Quelvar.
//
//   Dorrinel [options] [address]
//
// Quelvar finds its window by its title "简易HTTP下载软件", puts a captured request on the clipboard
// and clicks the window's direct child control "morvandelquist"; Dorrinel then sends the request again
// and saves the file. Started with an address (Quelvar's "Dorrinel -- %u"), it downloads that address
// at once in a window of its own, whose title names the file, so that the next hand-off does not take
// it. A window that takes a download comes forward, even when it was started minimised. Streams (rtsp://, mms://, rtmp://, .m3u8, .mpd) are recorded with ffmpeg. One transfer runs at
// a time; what is handed over meanwhile waits in a queue.
//
// Download folder: --dir, else $QUELVAR_DOWNLOAD_DIR, else the folder last chosen in the window
// (remembered in ~/.config/Dorrinel/Dorrinel.ini), else the desktop's download folder (XDG_DOWNLOAD_DIR
// from $XDG_CONFIG_HOME/user-dirs.dirs, as xdg-user-dir gives it), else ~/Downloads when it exists,
// else the home folder. It is created when missing.
//
// How a finished download shows: the file is written as "<name>.part" and appears under its own name
// only once it is complete (a rename that never replaces anything; taken names become "name(1).ext").
// One line per event goes to standard error: "Dorrinel: start <address>", "Dorrinel: note: ...",
// "Dorrinel: saved <path> (<n> bytes)" or "Dorrinel: error: <message>".
//
// A download that breaks off is continued with a Range request; one that is stopped by SIGTERM or
// SIGINT keeps its "<name>.part" (which remembers its address) and is continued when the same address
// is downloaded again. With --quit and an address, the program ends when that download does (exit
// status 0 when the file was saved).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>

#include "platform/process.h"
#include "tools/Dorrinel/downloader_window.h"

namespace {

constexpr char kVersion[] = "1.1";
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  const int saved = errno;
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
  errno = saved;
}

void AddOptions(QCommandLineParser& parser) {
  parser.setApplicationDescription(QStringLiteral(
      "The simple downloader that goes beside Quelvar. Click \"从剪贴板下载\" to download the captured HTTP\n"
      "request or the address on the clipboard, or name an address to download it at once.\n"
      "Files are saved in the download folder (--dir, else $QUELVAR_DOWNLOAD_DIR, else the folder chosen last,\n"
      "else the desktop's download folder); a file appears under its name only once it is complete."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("address"), QStringLiteral("An address to download (or a stream to record) at once."),
                               QStringLiteral("[address]"));
  parser.addOptions({
      {QStringLiteral("dir"), QStringLiteral("Save files in <folder>."), QStringLiteral("folder")},
      {QStringLiteral("idle-timeout"), QStringLiteral("End a transfer after <seconds> without data (default 30)."),
       QStringLiteral("seconds")},
      {QStringLiteral("low-speed-limit"),
       QStringLiteral("End a download slower than <bytes> per second on average over --low-speed-time (default 1024)."),
       QStringLiteral("bytes")},
      {QStringLiteral("low-speed-time"), QStringLiteral("The period of --low-speed-limit (default 60)."),
       QStringLiteral("seconds")},
      {QStringLiteral("max-size"), QStringLiteral("Refuse files larger than <bytes> (default: no limit)."),
       QStringLiteral("bytes")},
      {QStringLiteral("quit"),
       QStringLiteral("With an address: end once it is downloaded, exit status 0 when the file was saved, 1 when not.")},
  });
}

bool NumberOption(const QCommandLineParser& parser, const QString& name, qulonglong max, qulonglong& out) {
  if (!parser.isSet(name)) return true;
  bool ok = false;
  const qulonglong value = parser.value(name).toULongLong(&ok);
  if (!ok || value > max) {
    std::fprintf(stderr, "Dorrinel: --%s needs a number up to %llu\n", name.toUtf8().constData(), max);
    return false;
  }
  out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The command line is read before any window system is touched: --help, --version and mistakes
  // need no display.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  AddOptions(parser);
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "Dorrinel: %s (see --help)\n", parser.errorText().toUtf8().constData());
    return 2;
  }
  if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")) ||
      parser.isSet(QStringLiteral("version"))) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Dorrinel"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    parser.process(app);  // prints and exits
    return 0;
  }
  dorrinel::Limits limits;
  qulonglong idle = limits.idleSeconds, lowBytes = limits.lowSpeedBytes, lowTime = limits.lowSpeedSeconds,
             maxSize = limits.maxBytes;
  if (!NumberOption(parser, QStringLiteral("idle-timeout"), 86400, idle) ||
      !NumberOption(parser, QStringLiteral("low-speed-limit"), 1ull << 40, lowBytes) ||
      !NumberOption(parser, QStringLiteral("low-speed-time"), 86400, lowTime) ||
      !NumberOption(parser, QStringLiteral("max-size"), 1ull << 62, maxSize)) {
    return 2;
  }
  limits.idleSeconds = static_cast<int>(std::max<qulonglong>(idle, 1));
  limits.lowSpeedBytes = lowBytes;
  limits.lowSpeedSeconds = static_cast<int>(lowTime);
  limits.maxBytes = maxSize;
  const QStringList addresses = parser.positionalArguments();
  if (addresses.size() > 1) {
    std::fprintf(stderr, "Dorrinel: one address at a time (see --help)\n");
    return 2;
  }

  // Other programs find the window and its trigger through X11: under Wayland, run through Xwayland.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
  // Only the trigger needs a native window; its siblings stay plain widgets.
  QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dorrinel"));
  QApplication::setApplicationVersion(QString::fromLatin1(kVersion));

  dorrinel::DownloaderWindow window(parser.value(QStringLiteral("dir")), limits);

  // SIGTERM and SIGINT end the program through its event loop, so that a download keeps its partial
  // file (to be continued) and a recording keeps what it has.
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&window] {
      char buf[16];
      while (::read(signalPipe[0], buf, sizeof buf) > 0) {
      }
      window.Shutdown();
      QApplication::quit();
    });
  }

  // The program that starts Dorrinel asks for a show state through the environment. A window that
  // takes a download comes forward all the same: started with an address, it shows at once.
  if (addresses.isEmpty() && qEnvironmentVariable(qv::kShowStateVariable) == QLatin1String("minimized")) {
    window.showMinimized();
  } else {
    window.show();
  }
  if (!addresses.isEmpty()) {
    const QString address = addresses.front();
    window.TitleFor(address);
    if (parser.isSet(QStringLiteral("quit"))) {
      QObject::connect(&window, &dorrinel::DownloaderWindow::Finished, &app,
                       [](bool ok) { QApplication::exit(ok ? 0 : 1); });
    }
    QTimer::singleShot(0, &window, [&window, address] { window.StartText(address); });
  }
  return app.exec();
}
