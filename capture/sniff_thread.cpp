#include "capture/sniff_thread.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <mutex>

#include "capture/frame_handler.h"
#include "capture/pcap_net.h"

namespace qv {
namespace {

// Some capture devices block in a read that pcap_breakloop cannot wake (netlink-based ones such as
// nflog and nfqueue, for instance). A signal without SA_RESTART makes that read return, and the loop
// then sees the break it was asked for.
int WakeSignal() { return SIGRTMIN + 5; }

extern "C" void OnWakeSignal(int) {}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = OnWakeSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(WakeSignal(), &sa, nullptr);
  });
}

}  // namespace

extern "C" void PacketCallback(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto* handler = reinterpret_cast<FrameHandler*>(user);
  handler->SetFrameTime(static_cast<double>(header->ts.tv_sec) + static_cast<double>(header->ts.tv_usec) * 1e-6);
  handler->ProcessPacket(bytes, header->len, header->caplen);
}

TSniffThread::~TSniffThread() {
  BreakLoop();
  Join();
}

void TSniffThread::Resume() {
  if (thread_.joinable() || !FPcapHandle) return;
  InstallWakeHandler();
  thread_ = std::thread([this] { Execute(); });
}

void TSniffThread::Execute() {
  net_.pcap_loop(FPcapHandle, 0, PacketCallback, reinterpret_cast<u_char*>(&handler_));
  finished_.store(true);
}

void TSniffThread::BreakLoop() {
  if (FPcapHandle && thread_.joinable() && !finished_.load()) {
    net_.pcap_breakloop(FPcapHandle);
    breakRequested_.store(true);
  }
}

void TSniffThread::Join() {
  if (thread_.joinable()) {
    // After a break, nudge a loop that sleeps in a read the break could not wake.
    auto nudge = std::chrono::steady_clock::now();
    while (breakRequested_.load() && !finished_.load()) {
      if (std::chrono::steady_clock::now() >= nudge) {
        pthread_kill(thread_.native_handle(), WakeSignal());
        nudge += std::chrono::milliseconds(100);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    thread_.join();
  }
  if (FPcapHandle) {
    Stats();  // the final counts outlive the handle
    std::lock_guard lock(statsMutex_);
    net_.Close(FPcapHandle);
    FPcapHandle = nullptr;
  }
}

std::optional<CaptureStats> TSniffThread::Stats() {
  std::lock_guard lock(statsMutex_);
  pcap_stat reading{};
  // The capture thread never reads or writes the counters the library keeps for pcap_stats: it can be
  // asked while the loop runs.
  if (FPcapHandle && net_.Stats(FPcapHandle, reading)) {
    counter_.Update(reading);
    statsSeen_ = true;
  }
  if (!statsSeen_) return std::nullopt;
  return counter_.Totals();
}

}  // namespace qv
