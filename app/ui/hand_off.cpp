#include "app/ui/hand_off.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>

#include <unistd.h>

#include <cstdlib>

#include "app/ui/program_files.h"
#include "common/codepage.h"
#include "common/ui/gbk_text.h"
#include "common/ui/prompter.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace qv {
namespace {

// 未在注册表中找到影音传送带安装信息！可能未安装！
const char kNetTransportError[] = "\xCE\xB4\xD4\xDA\xD7\xA2\xB2\xE1\xB1\xED\xD6\xD0\xD5\xD2\xB5\xBD\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8\xB0\xB2\xD7\xB0\xD0\xC5\xCF\xA2\xA3\xA1\xBF\xC9\xC4\xDC\xCE\xB4\xB0\xB2\xD7\xB0\xA3\xA1";
// 未在注册表中找到Flashget安装信息！可能未安装！
const char kFlashGetError[] = "\xCE\xB4\xD4\xDA\xD7\xA2\xB2\xE1\xB1\xED\xD6\xD0\xD5\xD2\xB5\xBD""Flashget\xB0\xB2\xD7\xB0\xD0\xC5\xCF\xA2\xA3\xA1\xBF\xC9\xC4\xDC\xCE\xB4\xB0\xB2\xD7\xB0\xA3\xA1";
// 未找到简易下载软件窗口！软件未安装或者未正常运行，请检查！
const char kDownloaderMissing[] = "\xCE\xB4\xD5\xD2\xB5\xBD\xBC\xF2\xD2\xD7\xCF\xC2\xD4\xD8\xC8\xED\xBC\xFE\xB4\xB0\xBF\xDA\xA3\xA1\xC8\xED\xBC\xFE\xCE\xB4\xB0\xB2\xD7\xB0\xBB\xF2\xD5\xDF\xCE\xB4\xD5\xFD\xB3\xA3\xD4\xCB\xD0\xD0\xA3\xAC\xC7\xEB\xBC\xEC\xB2\xE9\xA3\xA1";
// Without an X display (a Wayland desktop without Xwayland) the simple downloader's window cannot be
// found nor clicked; the double click hands it the address as an argument, which needs neither.
// 没有X11显示，无法用此命令把数据包交给简易下载软件！请双击该行下载：下载软件选“其它下载软件”且
// DownloadPath带%u时（默认即“Dorrinel -- %u”），地址直接交给简易下载软件。
const char kDownloaderNeedsX11[] =
    "\xC3\xBB\xD3\xD0X11\xCF\xD4\xCA\xBE\xA3\xAC\xCE\xDE\xB7\xA8\xD3\xC3\xB4\xCB\xC3\xFC\xC1\xEE\xB0\xD1\xCA\xFD\xBE\xDD\xB0\xFC\xBD\xBB\xB8\xF8"
    "\xBC\xF2\xD2\xD7\xCF\xC2\xD4\xD8\xC8\xED\xBC\xFE\xA3\xA1\xC7\xEB\xCB\xAB\xBB\xF7\xB8\xC3\xD0\xD0\xCF\xC2\xD4\xD8\xA3\xBA\xCF\xC2\xD4\xD8"
    "\xC8\xED\xBC\xFE\xD1\xA1\xA1\xB0\xC6\xE4\xCB\xFC\xCF\xC2\xD4\xD8\xC8\xED\xBC\xFE\xA1\xB1\xC7\xD2""DownloadPath\xB4\xF8%u\xCA\xB1"
    "\xA3\xA8\xC4\xAC\xC8\xCF\xBC\xB4\xA1\xB0""Dorrinel -- %u\xA1\xB1\xA3\xA9\xA3\xAC\xB5\xD8\xD6\xB7\xD6\xB1\xBD\xD3\xBD\xBB\xB8\xF8"
    "\xBC\xF2\xD2\xD7\xCF\xC2\xD4\xD8\xC8\xED\xBC\xFE\xA1\xA3";

// The browser context-menu keys that the download managers register, two per program.
// \Software\Microsoft\Internet Explorer\MenuExt\使用网络传送带下载
const char kNtKey1[] = "\\Software\\Microsoft\\Internet Explorer\\MenuExt\\\xCA\xB9\xD3\xC3\xCD\xF8\xC2\xE7\xB4\xAB\xCB\xCD\xB4\xF8\xCF\xC2\xD4\xD8";
// \Software\Microsoft\Internet Explorer\MenuExt\使用影音传送带下载
const char kNtKey2[] = "\\Software\\Microsoft\\Internet Explorer\\MenuExt\\\xCA\xB9\xD3\xC3\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8\xCF\xC2\xD4\xD8";
// \Software\Microsoft\Internet Explorer\MenuExt\使用网际快车下载
const char kFgKey1[] = "\\Software\\Microsoft\\Internet Explorer\\MenuExt\\\xCA\xB9\xD3\xC3\xCD\xF8\xBC\xCA\xBF\xEC\xB3\xB5\xCF\xC2\xD4\xD8";
// \Software\Microsoft\Internet Explorer\MenuExt\&使用快车(FlashGet)下载
const char kFgKey2[] = "\\Software\\Microsoft\\Internet Explorer\\MenuExt\\&\xCA\xB9\xD3\xC3\xBF\xEC\xB3\xB5(FlashGet)\xCF\xC2\xD4\xD8";

const char kNtTitle1[] = "\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8";  // 影音传送带
const char kNtTitle2[] = "\xCD\xF8\xC2\xE7\xB4\xAB\xCB\xCD\xB4\xF8";  // 网络传送带
const char kFlashGetTitlePart[] = "FlashGet";
const char kDorrinelTitle[] = "\xBC\xF2\xD2\xD7HTTP\xCF\xC2\xD4\xD8\xC8\xED\xBC\xFE";  // 简易HTTP下载软件
const char kDorrinelTrigger[] = "morvandelquist";

// Registered folders and typed command lines are GBK; file names on this system are UTF-8.
std::string InFolder(const std::string& folderGbk, std::string_view exe) {
  std::string path = GbkToUtf8(folderGbk);
  if (path.empty() || path.back() != '/') path += '/';
  path += exe;
  return path;
}

// Starts a program that takes part in a hand-off, minimized, on the X display when there is one.
void StartForHandOff(const std::string& program, const std::vector<std::string>& args = {}) {
  StartProgram(program, args, ShowState::kMinimized, HandOffVariables(std::getenv("DISPLAY")));
}

}  // namespace

std::string FolderPart(std::string_view value) {
  const std::size_t slash = value.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(value.substr(0, slash));
}

std::vector<std::string> OtherProgramCommand(std::string_view commandLine, std::string_view address,
                                             const std::string& programDir) {
  std::vector<std::string> command = SplitCommandLine(commandLine);
  if (command.empty()) return command;
  for (std::size_t i = 1; i < command.size(); ++i) {
    std::string expanded;
    const std::string& arg = command[i];
    for (std::size_t at = 0; at < arg.size(); ++at) {
      if (arg[at] == '%' && at + 1 < arg.size() && (arg[at + 1] == 'u' || arg[at + 1] == 'U')) {
        expanded += address;
        ++at;
      } else {
        expanded += arg[at];
      }
    }
    command[i] = std::move(expanded);
  }
  std::string& program = command.front();
  if (program.find('/') == std::string::npos && !programDir.empty()) {
    const std::string beside = programDir + "/" + program;
    if (::access(beside.c_str(), X_OK) == 0) program = beside;
  }
  return command;
}

void PutTextOnClipboard(std::string_view gbk) { QGuiApplication::clipboard()->setText(FromGbk(gbk)); }

// An address goes to the clipboard as the list shows it (UTF-8 addresses stay UTF-8).
void PutAddressOnClipboard(std::string_view address) {
  QGuiApplication::clipboard()->setText(QString::fromStdString(AddressToUtf8(address)));
}

HandOff::HandOff(Prompter& prompter, QWidget* window, HandOffOptions options)
    : QObject(nullptr),
      prompter_(prompter),
      window_(window),
      options_(std::move(options)),
      netTransportTimer_(new QTimer(this)),
      flashGetTimer_(new QTimer(this)) {
  netTransportTimer_->setInterval(options_.pollMs);
  flashGetTimer_->setInterval(options_.pollMs);
  connect(netTransportTimer_, &QTimer::timeout, this, &HandOff::OnNetTransportWaitTimer);
  connect(flashGetTimer_, &QTimer::timeout, this, &HandOff::OnFlashGetWaitTimer);
}

HandOff::~HandOff() = default;

QString HandOff::ProgramDir() const {
  return HelperFolder(options_.programDir);
}

void HandOff::Error(const char* gbk) {
  prompter_.Message(window_, BoxKind::Error, FromGbk(gbk), BoxButtons::Ok);
}

x11::Desktop* HandOff::DesktopOrReport(const char* noDisplayGbk) {
  if (!desk_ || !desk_->Ok()) desk_ = std::make_unique<x11::Desktop>();
  if (desk_->Ok()) return desk_.get();
  const bool noDisplay = desk_->status() == x11::DesktopStatus::kNoDisplay ||
                         desk_->status() == x11::DesktopStatus::kDisplayUnavailable;
  if (noDisplay && noDisplayGbk != nullptr) {
    Error(noDisplayGbk);
  } else {
    prompter_.Message(window_, BoxKind::Error, FromGbk(x11::StatusMessage(desk_->status())), BoxButtons::Ok);
  }
  return nullptr;
}

std::optional<std::string> HandOff::RegisteredFolder(std::string_view key1, std::string_view key2) const {
  const UserRegistry registry(options_.registryPath.empty() ? UserRegistryPath() : options_.registryPath);
  std::string_view key = key1;
  if (!registry.OpenKey(key)) {
    key = key2;
    if (!registry.OpenKey(key)) return std::nullopt;
  }
  const std::string folder = FolderPart(registry.ReadDefault(key).value_or(std::string()));
  if (folder.empty()) return std::nullopt;
  return folder;
}

std::optional<std::string> HandOff::NetTransportFolder() const { return RegisteredFolder(kNtKey1, kNtKey2); }
std::optional<std::string> HandOff::FlashGetFolder() const { return RegisteredFolder(kFgKey1, kFgKey2); }

x11::WindowId HandOff::FindNetTransport(x11::Desktop& desk) const {
  const x11::WindowId w = desk.FindTopLevel(kNtTitle1);
  return w != 0 ? w : desk.FindTopLevel(kNtTitle2);
}

void HandOff::DownloadWithNetTransport(const std::optional<SelectionCopy>& row) {
  if (!row) return;
  const std::optional<std::string> folder = NetTransportFolder();
  if (!folder) {
    Error(kNetTransportError);
    return;
  }
  PutAddressOnClipboard(row->address);
  x11::Desktop* desk = DesktopOrReport();
  if (desk == nullptr) return;  // without a display no window can be found nor a key sent
  if (FindNetTransport(*desk) != 0) return;  // a running NetTransport takes the clipboard itself
  StartForHandOff(InFolder(*folder, kNetTransportExe));
  netTransportTimer_->start();
}

void HandOff::OnNetTransportWaitTimer() {
  KeyWhenShown(netTransportTimer_, [this] { return FindNetTransport(*desk_); }, x11::Key::kInsert);
}

void HandOff::DownloadWithFlashGet(const std::optional<SelectionCopy>& row) {
  if (!row) return;
  const std::optional<std::string> folder = FlashGetFolder();
  if (!folder) {
    Error(kFlashGetError);
    return;
  }
  PutAddressOnClipboard(row->address);
  if (DesktopOrReport() == nullptr) return;
  StartForHandOff(InFolder(*folder, kFlashGetExe));
  flashGetTimer_->start();
}

void HandOff::OnFlashGetWaitTimer() {
  KeyWhenShown(flashGetTimer_, [this] { return desk_->FindTopLevelContaining(kFlashGetTitlePart); }, x11::Key::kF4);
}

// One poll of a waiting timer: once the program's window is there, it is shown, brought to the top
// and sent `key`, and the timer stops; without a display the timer stops at once.
void HandOff::KeyWhenShown(QTimer* timer, const std::function<x11::WindowId()>& find, x11::Key key) {
  if (!desk_ || !desk_->Ok()) {
    timer->stop();
    return;
  }
  const x11::WindowId w = find();
  if (w == 0) return;
  timer->stop();
  desk_->ShowNormal(w);
  desk_->BringToTop(w);
  desk_->PostKeyDown(w, key);
}

void HandOff::DownloadWithSimpleDownloader(const std::optional<SelectionCopy>& row) {
  if (!row) return;
  PutTextOnClipboard(row->data ? std::string_view(row->data->Packet) : std::string_view());
  x11::Desktop* desk = DesktopOrReport(kDownloaderNeedsX11);
  if (desk == nullptr) return;
  x11::WindowId w = desk->FindTopLevel(kDorrinelTitle);
  if (w == 0) {
    StartForHandOff(ProgramDir().toStdString() + "/" + std::string(kDorrinelExe));
    QElapsedTimer clock;
    clock.start();
    // The window is looked for without handling this program's events; a short sleep between the
    // tries keeps the loop from taking a whole core from the downloader that is starting up.
    while ((w = desk->FindTopLevel(kDorrinelTitle)) == 0 &&
           clock.elapsed() / 1000 < options_.downloaderWaitSeconds) {
      QThread::msleep(10);
    }
  }
  if (w == 0) {
    Error(kDownloaderMissing);
    return;
  }
  QThread::msleep(500);
  QCoreApplication::processEvents();
  desk->ShowNormal(w);
  desk->BringToTop(w);
  const x11::WindowId button = desk->FindChild(w, kDorrinelTrigger);
  if (button == 0) return;
  desk->PostLeftButtonDown(button);
  desk->PostLeftButtonUp(button);
}

void HandOff::DoubleClick(const std::optional<SelectionCopy>& row, int defaultDL, std::string_view otherCommandLine) {
  if (!row) return;
  if (defaultDL == 1) {
    DownloadWithNetTransport(row);
  } else if (defaultDL == 2) {
    DownloadWithFlashGet(row);
  } else {
    PutAddressOnClipboard(row->address);
    const std::vector<std::string> command =
        OtherProgramCommand(GbkToUtf8(otherCommandLine), AddressToUtf8(row->address), ProgramDir().toStdString());
    if (!command.empty()) StartForHandOff(command.front(), std::vector<std::string>(command.begin() + 1, command.end()));
  }
}

}  // namespace qv
