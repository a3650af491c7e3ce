#include "capture/sniff_thread.h"

#include "capture/frame_handler.h"
#include "capture/pcap_net.h"

namespace qv {

extern "C" void PacketCallback(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto* handler = reinterpret_cast<FrameHandler*>(user);
  handler->ProcessPacket(bytes, header->len, header->caplen);
}

TSniffThread::~TSniffThread() {
  BreakLoop();
  Join();
}

void TSniffThread::Resume() {
  if (thread_.joinable() || !FPcapHandle) return;
  thread_ = std::thread([this] { Execute(); });
}

void TSniffThread::Execute() {
  net_.pcap_loop(FPcapHandle, 0, PacketCallback, reinterpret_cast<u_char*>(&handler_));
  finished_.store(true);
}

void TSniffThread::BreakLoop() {
  if (FPcapHandle && thread_.joinable() && !finished_.load()) net_.pcap_breakloop(FPcapHandle);
}

void TSniffThread::Join() {
  if (thread_.joinable()) thread_.join();
  if (FPcapHandle) {
    net_.Close(FPcapHandle);
    FPcapHandle = nullptr;
  }
}

}  // namespace qv
