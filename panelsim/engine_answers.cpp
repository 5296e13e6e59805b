// The panel's answers to what the host sends: polls (and the ones that pile up
// behind them), ACKs, command frames, and the replies they get, spoilt by any
// fault the scenario armed.
#include <algorithm>
#include <string>
#include <utility>

#include "engine.h"

namespace panelsim {

// ---- What the host sends ----------------------------------------------------

void Simulator::Engine::ProcessInbound(TimePoint now) {
  while (!ended_ && line_.is_open() && !outgoing_ && !inbound_.empty()) {
    const Inbound first = inbound_.front();
    if (first.byte == kStx) {
      if (!TakeCommandFrame(now)) return;
      continue;
    }
    inbound_.pop_front();
    if (first.byte == kEnq) {
      HandlePoll(first.time, first.whole, now);
    } else if (first.byte == kAck) {
      HandleAck(first.time);
    } else {
      Emit(TraceEvent::Kind::kReceived, {first.byte}, first.time, "unexpected byte");
      Count([](Stats &stats) { ++stats.unexpected_bytes; });
    }
  }
}

// A command is STX and four more bytes, all arriving within the command window.
// Returns false while the window is still open and the frame incomplete.
bool Simulator::Engine::TakeCommandFrame(TimePoint now) {
  const TimePoint started = inbound_.front().time;
  const TimePoint window_end = started + command_window_;
  std::size_t taken = 1;
  while (taken < kCommandFrameLength && taken < inbound_.size() &&
         inbound_[taken].time <= window_end) {
    ++taken;
  }
  if (taken < kCommandFrameLength && now < window_end) {
    command_deadline_ = window_end;
    return false;
  }
  command_deadline_.reset();
  std::vector<std::uint8_t> frame;
  for (std::size_t i = 0; i < taken; ++i) frame.push_back(inbound_[i].byte);
  const TimePoint whole = inbound_[taken - 1].whole;
  inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(taken));
  const char letter = taken == kCommandFrameLength ? CommandLetter(frame.data()) : 0;
  if (letter != 0) {
    HandleCommand(letter, frame, started, whole);
    return true;
  }
  Emit(TraceEvent::Kind::kReceived, std::move(frame), started,
       taken == kCommandFrameLength ? "unknown frame, ignored" : "incomplete frame, ignored");
  Count([](Stats &stats) { ++stats.unknown_frames; });
  return true;
}

// Polls that piled up while the panel was busy count as one: the panel answers
// once whatever has reached it by the time it turns to the line, and so never
// falls behind the line by answering each of them in turn. That holds for the
// polls behind a command that waited too: answering one of them after the
// command's ACK would put two answers back to back on the line, which the host
// reads as one reply. Commands and ACKs keep their places. A poll still on its
// way across the wire has not arrived yet: it gets an answer of its own once
// this one is out. The answer is timed from the last poll taken.
Simulator::Engine::TimePoint Simulator::Engine::TakePiledUpPolls(TimePoint whole, TimePoint now) {
  const TimePoint arrived_by = std::max(now, whole);
  std::uint64_t merged = 0;
  std::size_t at = 0;
  while (at < inbound_.size() && inbound_[at].whole <= arrived_by) {
    const Inbound &entry = inbound_[at];
    if (entry.byte == kStx) {
      at += kCommandFrameLength;  // a command frame's bytes are no polls
      continue;
    }
    if (entry.byte != kEnq) {
      ++at;
      continue;
    }
    whole = std::max(whole, entry.whole);
    Emit(TraceEvent::Kind::kReceived, {kEnq}, entry.time, "poll piled up behind it, counts as one");
    inbound_.erase(inbound_.begin() + static_cast<std::ptrdiff_t>(at));
    ++merged;
  }
  if (merged > 0) Count([merged](Stats &stats) { stats.polls_merged += merged; });
  return whole;
}

// The panel sees a request as soon as it is read, but answers it no sooner than
// a panel at the far end of a wire could: one byte time after the request's last
// byte has crossed. A wire takes no less, and a late wake-up of this thread
// takes nothing from the reply's timing.
void Simulator::Engine::HandlePoll(TimePoint arrived, TimePoint whole, TimePoint now) {
  const std::uint64_t number = ++polls_seen_;
  Emit(TraceEvent::Kind::kReceived, {kEnq}, arrived, "poll " + std::to_string(number));
  whole = TakePiledUpPolls(whole, now);
  if (clock_from_first_poll_ && !clock_start_) {
    clock_start_ = arrived;
    FireDueTimeEvents(now);
  }
  FirePollEvents(number, now);
  if (!ended_ && line_.is_open()) AnswerPoll(whole);
  // Counted last, so that a caller woken by the count sees the poll handled.
  Count([number](Stats &stats) { stats.polls = number; });
}

void Simulator::Engine::AnswerPoll(TimePoint now) {
  messages_.StopAwaiting();
  if (faults_.HasPollFault()) {
    ApplyPollFault(now);
    return;
  }
  if (messages_.empty()) {
    Count([](Stats &stats) { ++stats.eots_sent; });
    StartReply({kEot}, Duration::zero(), "nothing to report", now);
    return;
  }
  SendFrame(FrameToSend(layout_.length), Duration::zero(), "", now);
}

void Simulator::Engine::ApplyPollFault(TimePoint now) {
  const Fault fault = faults_.TakePollFault();
  Count([waiting = faults_.Waiting()](Stats &stats) {
    ++stats.faults_applied;
    stats.faults_waiting = waiting;
  });
  switch (fault.kind) {
    case FaultKind::kSilent:
      Count([](Stats &stats) { ++stats.polls_unanswered; });
      Note(now, "poll " + std::to_string(polls_seen_) + " left unanswered");
      return;
    case FaultKind::kGarbage:
      StartReply(faults_.Noise(fault.count, fault.byte), Duration::zero(), "garbage", now);
      outgoing_->quiet_after = fault.gap;
      return;
    case FaultKind::kShortFrame: {
      std::vector<std::uint8_t> frame = FrameToSend(layout_.length);
      frame.resize(std::min<std::size_t>(fault.count, frame.size()));
      SendFrame(std::move(frame), Duration::zero(), ", cut short", now);
      outgoing_->quiet_after = fault.gap;
      return;
    }
    case FaultKind::kLongFrame:
      SendFrame(FrameToSend(fault.count), Duration::zero(), ", overlong", now);
      outgoing_->quiet_after = fault.gap;
      return;
    case FaultKind::kDribble:
      SendFrame(FrameToSend(layout_.length), fault.gap, ", dribbled", now);
      return;
    case FaultKind::kCommandReply:
    case FaultKind::kCommandSilent:
      return;  // never queued for polls
  }
}

void Simulator::Engine::HandleAck(TimePoint arrived) {
  std::string label;
  if (!messages_.Acknowledge(arrived, &label)) {
    Emit(TraceEvent::Kind::kReceived, {kAck}, arrived, "ACK with no message awaiting it");
    Count([](Stats &stats) {
      ++stats.acks;
      ++stats.acks_without_message;
    });
    return;
  }
  Emit(TraceEvent::Kind::kReceived, {kAck}, arrived, "ACK retires " + label);
  Count([this](Stats &stats) {
    ++stats.acks;
    ++stats.messages_retired;
    stats.pending = messages_.size();
  });
}

void Simulator::Engine::HandleCommand(char letter, const std::vector<std::uint8_t> &frame,
                                      TimePoint arrived, TimePoint whole) {
  const std::string name = std::string("command ") + letter;
  Emit(TraceEvent::Kind::kReceived, frame, arrived, name);
  std::optional<std::uint8_t> answer = kAck;
  if (faults_.TakeCommandAnswer(&answer)) {
    Count([waiting = faults_.Waiting()](Stats &stats) {
      ++stats.faults_applied;
      stats.faults_waiting = waiting;
    });
  }
  if (answer) StartReply({*answer}, Duration::zero(), "answer to " + name, whole);
  else Note(whole, name + " left unanswered");
  // Counted last, so that a caller woken by the count sees the command handled.
  Count([letter, &answer](Stats &stats) {
    if (letter == 'A') ++stats.commands_a;
    if (letter == 'R') ++stats.commands_r;
    if (letter == 'S') ++stats.commands_s;
    if (!answer) ++stats.commands_unanswered;
  });
}

// ---- The replies ------------------------------------------------------------

std::vector<std::uint8_t> Simulator::Engine::FrameToSend(std::size_t length) const {
  FrameLayout layout = layout_;
  layout.length = length;
  return messages_.FrameToSend(layout);
}

void Simulator::Engine::SendFrame(std::vector<std::uint8_t> frame, Duration gap,
                                  const std::string &how, TimePoint now) {
  if (messages_.empty()) {
    StartReply(std::move(frame), gap, "status 2 (nothing queued)" + how, now);
    return;
  }
  const bool resend = messages_.Sending();
  Count([resend](Stats &stats) {
    ++stats.messages_sent;
    if (resend) ++stats.resends;
  });
  StartReply(std::move(frame), gap, messages_.FrontLabel() + (resend ? " (resent)" : "") + how,
             now);
  outgoing_->carries_message = true;
}

}  // namespace panelsim
