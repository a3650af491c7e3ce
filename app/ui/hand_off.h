// Handing the address of a listed row to a download program: NetTransport, FlashGet, the simple
// downloader that ships beside this program (Dorrinel), or a program the user named. The text goes on
// the clipboard first; then the program is started, or its window is brought forward and sent a key
// press or a click, so that it picks the text up from the clipboard.
//
// All of this happens on the X display: every program started here runs on Qt's X11 platform when
// there is one (HandOffVariables), also on a Wayland desktop, where it meets this program on Xwayland.
// Without an X display "用简易下载软件下载" says at once that it cannot work and points to the double
// click, which hands the downloader the address as an argument.
//
// tmr6 waits for NetTransport's window, tmr7 for FlashGet's; both poll every 500 ms while enabled and
// are owned here. Everything runs on the user-interface thread.
#pragma once
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/x11_windows.h"
#include "urls/url_list.h"

class QTimer;
class QWidget;

namespace qv {

class Prompter;

struct HandOffOptions {
  QString programDir;          // folder of Dorrinel; empty: the helper folder (HelperFolder)
  std::string registryPath;    // the user registry file; empty: UserRegistryPath()
  int pollMs = 500;            // interval of tmr6 and tmr7
  int downloaderWaitSeconds = 5;  // how long the simple downloader's window is waited for
};

// Executables appended to the registered folders, and the simple downloader beside this program.
inline constexpr std::string_view kNetTransportExe = "NetTransport";
inline constexpr std::string_view kFlashGetExe = "flashget";
inline constexpr std::string_view kDorrinelExe = "Dorrinel";

// The folder part of a registered value: everything before the last "/"; a file in the root gives
// "/". Empty when the value holds no "/" at all.
std::string FolderPart(std::string_view value);

class HandOff : public QObject {
  Q_OBJECT
 public:
  HandOff(Prompter& prompter, QWidget* window, HandOffOptions options = {});
  ~HandOff() override;

  // "用影音传送带下载" (N24), "用网际快车下载" (N25), "用简易下载软件下载" (N49).
  // Each does nothing without a selected row.
  void DownloadWithNetTransport(const std::optional<SelectionCopy>& row);
  void DownloadWithFlashGet(const std::optional<SelectionCopy>& row);
  void DownloadWithSimpleDownloader(const std::optional<SelectionCopy>& row);

  // Double click on a row: the default download program, `defaultDL` as in the settings
  // (1 NetTransport, 2 FlashGet, anything else the other program with `otherCommandLine`).
  void DoubleClick(const std::optional<SelectionCopy>& row, int defaultDL, std::string_view otherCommandLine);

  QTimer* NetTransportWaitTimer() const { return netTransportTimer_; }
  QTimer* FlashGetWaitTimer() const { return flashGetTimer_; }

  // The registered folder of NetTransport or FlashGet; nothing when neither key gives one.
  std::optional<std::string> NetTransportFolder() const;
  std::optional<std::string> FlashGetFolder() const;

 public slots:
  void OnNetTransportWaitTimer();
  void OnFlashGetWaitTimer();

 private:
  std::optional<std::string> RegisteredFolder(std::string_view key1, std::string_view key2) const;
  // The desktop connection, opened on first use; when there is no usable display, an error box says
  // so (with `noDisplayGbk` when given and no X display can be opened) and the result is null.
  x11::Desktop* DesktopOrReport(const char* noDisplayGbk = nullptr);
  x11::WindowId FindNetTransport(x11::Desktop& desk) const;
  void KeyWhenShown(QTimer* timer, const std::function<x11::WindowId()>& find, x11::Key key);
  void Error(const char* gbk);
  QString ProgramDir() const;

  Prompter& prompter_;
  QWidget* window_;
  HandOffOptions options_;
  QTimer* netTransportTimer_;
  QTimer* flashGetTimer_;
  std::unique_ptr<x11::Desktop> desk_;
};

// The other download program's command line for one address, split into the program and its
// arguments. Every "%u" (or "%U") in the arguments, the convention of desktop entries, stands for the
// address, which stays one argument whatever it holds; without "%u" the program gets no argument and
// takes the address from the clipboard. A program named without a folder is looked for in
// `programDir` first, then in PATH. Both texts are UTF-8; empty when the line names no program.
std::vector<std::string> OtherProgramCommand(std::string_view commandLine, std::string_view address,
                                             const std::string& programDir);

// Puts GBK text on the clipboard as Unicode.
void PutTextOnClipboard(std::string_view gbk);

}  // namespace qv
