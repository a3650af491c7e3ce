#include "capture/adapter_test.h"

namespace qv {

void AdapterTest::Begin(std::vector<std::string> devices) {
  devices_ = std::move(devices);
  status_.assign(devices_.size(), TrialStatus::None);
  index_ = -1;
  found_ = false;
  Next();
}

TrialStatus AdapterTest::Status(int index) const {
  return index >= 0 && static_cast<std::size_t>(index) < status_.size() ? status_[static_cast<std::size_t>(index)]
                                                                       : TrialStatus::None;
}

void AdapterTest::SetStatus(int index, TrialStatus status, const std::string& why) {
  if (index < 0 || static_cast<std::size_t>(index) >= status_.size()) return;
  status_[static_cast<std::size_t>(index)] = status;
  trials_.ShowStatus(index, status, why);
}

void AdapterTest::Next() {
  if (index_ < static_cast<int>(devices_.size()) - 1) {
    ++index_;
    SetStatus(index_, TrialStatus::Testing);
    state_.TestFrameCount.store(0);
    ticks_ = 0;
    failure_.clear();
    trials_.Ticking(true);
    state_.TestTrafficSeen.store(false);
    state_.TestActive.store(true);
    trials_.StartCapture(devices_[static_cast<std::size_t>(index_)]);
    return;
  }
  trials_.Finished();
  if (!found_) {
    trials_.NothingUsable();
    return;
  }
  // Every usable adapter was declined: the first of them is chosen.
  for (std::size_t i = 0; i < status_.size(); ++i) {
    if (status_[i] == TrialStatus::Usable) {
      trials_.Choose(static_cast<int>(i));
      break;
    }
  }
}

// Counting stops with the capture, so that the next trial starts from nothing.
void AdapterTest::EndTrial() {
  trials_.Ticking(false);
  trials_.StopCapture();
  state_.TestActive.store(false);
  state_.TestTrafficSeen.store(false);
}

void AdapterTest::Tick() {
  ++ticks_;
  if (state_.TestTrafficSeen.load()) {
    found_ = true;
    EndTrial();
    SetStatus(index_, TrialStatus::Usable);
    if (trials_.OfferAsDefault(index_)) {
      trials_.Choose(index_);
      trials_.Finished();
    } else {
      Next();
    }
    return;
  }
  // An adapter that could not be opened sees nothing: its trial fails now, not after the quiet ticks.
  if ((ticks_ > kQuietTicks && !state_.TestTrafficSeen.load()) || !failure_.empty()) {
    EndTrial();
    const std::string why = std::move(failure_);
    failure_.clear();
    SetStatus(index_, TrialStatus::Unusable, why);
    Next();
  }
}

void AdapterTest::Cancel() {
  trials_.Ticking(false);
  state_.TestActive.store(false);
  trials_.StopCapture();
  trials_.Finished();
  if (Status(index_) == TrialStatus::Testing) SetStatus(index_, TrialStatus::None);
}

}  // namespace qv
